#pragma once
// Publisher keys and signed manifests for tests, made by OpenSSH's real ssh-keygen and the built
// quillon-publish; under Wine the Linux ssh-keygen is started the way the test servers are.

#include <QString>

// A well-formed key that signed nothing served in the tests: trusting it makes every server refused.
inline const QString unusedPublisherKey =
    QStringLiteral("ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIFKx0nxFdeKEXq/DSdZFd+aZcA4aVoh47Jiw2IM7y/sM");

// Makes an Ed25519 key pair at `keyPath` (and keyPath.pub); returns the public key line, empty on failure.
QString makePublisherKey(const QString &keyPath);
// ssh-keygen -Y sign -f key -n nameSpace file: writes file.sig (an old one is replaced). False on failure.
bool signWithSshKeygen(const QString &keyPath, const QString &file,
                       const QString &nameSpace = QStringLiteral("quillon-manifest"));
// Runs the built quillon-publish over `root` (writing ROOT/quillon-manifest) and signs the manifest
// with the key unless keyPath is empty. False on failure.
bool publishTree(const QString &root, const QString &keyPath);
