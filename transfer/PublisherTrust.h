#pragma once
// Decides at the start of every check and run whether the server's files come from the publisher:
// with a publisher key in the settings, the signed manifest is fetched and verified before anything
// else; without one nothing changes.
//
// Wiring at the start of a run, right after its session opened:
//     PublisherTrust trust;
//     switch (trust.establish(session)) {
//     case PublisherTrust::NotRequired: today's behaviour;
//     case PublisherTrust::Accepted: trust.manifest() gives each file's SHA-256 and size;
//     case PublisherTrust::Refused: fetch and change nothing; tell the user (the log line is written);
//     case PublisherTrust::Lost: the connection failed while fetching: a connection error as usual.
//     }

#include "transfer/PublisherManifest.h"

#include <QString>

#include <memory>

struct SftpSession;

class PublisherTrust {
public:
    enum Outcome { NotRequired, Accepted, Refused, Lost };

    // The publisher's public keys ("ssh-ed25519 AAAA... comment", several separated by ";").
    static const QString keySetting;
    // The highest manifest serial this PC has accepted; an older manifest is a replay.
    static const QString serialSetting;
    // The log line's prefix of a refusal; the reason follows.
    static const QString refusalLogPrefix;

    // What the windows say to a refusal (a refused check, install run or update run).
    static QString refusedText(bool russian);

    // Reads the key setting and, when it holds a key, fetches and verifies the manifest over the
    // session. A refusal writes one log line.
    Outcome establish(const SftpSession &session);

    // The verification itself, on bytes already fetched: the signature (by one of the keys in
    // keySettingText, over manifestBytes), the manifest's format, and its serial against
    // highestSerial. Accepted or Refused; the reason of a refusal in refusal().
    Outcome verify(const QString &keySettingText, const QByteArray &manifestBytes,
                   const QByteArray &signatureBytes, quint64 highestSerial);

    // The accepted manifest (null unless the outcome was Accepted).
    std::shared_ptr<const PublisherManifest> manifest() const { return accepted; }
    QString refusal() const { return reason; }

private:
    Outcome refuse(const QString &why);

    std::shared_ptr<const PublisherManifest> accepted;
    QString reason;
};
