// quillon-publish: writes the signed manifest of a download tree (each file's SHA-256, size and path) and,
// with --key, signs it with OpenSSH's own ssh-keygen.

#include "platform/Platform.h"
#include "transfer/PublisherManifest.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSaveFile>

#include <cstdio>

namespace {

void printError(const QString &text) {
    std::fprintf(stderr, "%s\n", qPrintable(text));
}

// The file's SHA-256 and size, read once in chunks; false when it cannot be read whole.
bool hashFile(const QString &path, PublisherManifest::File *file) {
    QFile input(path);
    if (!input.open(QIODevice::ReadOnly))
        return false;
    QCryptographicHash hash(QCryptographicHash::Sha256);
    qint64 size = 0;
    QByteArray chunk;
    while (!(chunk = input.read(1024 * 1024)).isEmpty()) {
        hash.addData(chunk);
        size += chunk.size();
    }
    file->sha256 = hash.result();
    file->size = size;
    return input.error() == QFileDevice::NoError;
}

int run(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("quillon-publish");

    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Writes ROOT/quillon-manifest: a serial number and the SHA-256, size and path of every file below "
        "ROOT, the folder served as \"/upload/Softwares/For Download/\". Sign it with\n"
        "  ssh-keygen -Y sign -f KEY -n quillon-manifest ROOT/quillon-manifest\n"
        "or let --key run that step.");
    const QCommandLineOption keyOption(
        "key", "Sign the manifest with this SSH private key (ssh-keygen -Y sign).", "KEY");
    parser.addOption(keyOption);
    parser.addHelpOption();
    parser.addPositionalArgument("ROOT", "The download root as a local folder.");
    if (!parser.parse(QCoreApplication::arguments())) {
        printError(parser.errorText());
        return 64;
    }
    if (parser.isSet("help")) {
        std::printf("%s", qPrintable(parser.helpText()));
        return 0;
    }
    if (parser.positionalArguments().size() != 1) {
        printError("Give exactly one ROOT folder; try --help.");
        return 64;
    }
    const QDir root(parser.positionalArguments().first());
    if (!root.exists()) {
        printError("No folder " + root.path() + ".");
        return 64;
    }
    const QString manifestPath = root.filePath(QString::fromLatin1(PublisherManifest::fileName));
    const QString signaturePath = root.filePath(QString::fromLatin1(PublisherManifest::signatureFileName));

    // Symbolic links to files are listed by the link's path; linked folders are not walked (no loops).
    QHash<QByteArray, PublisherManifest::File> files;
    QDirIterator walk(root.path(), QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot,
                      QDirIterator::Subdirectories);
    while (walk.hasNext()) {
        const QString path = walk.next();
        if (walk.fileName().startsWith(QString::fromLatin1(PublisherManifest::fileName)))
            continue;
        const QByteArray relative = root.relativeFilePath(path).toUtf8();
        if (relative.contains('\n') || relative.contains('\r') ||
            relative.size() > PublisherManifest::maxPathLength) {
            printError("Cannot list " + path + ": its name holds a line end or is too long.");
            return 1;
        }
        PublisherManifest::File file;
        if (!hashFile(path, &file)) {
            printError("Cannot read " + path + ".");
            return 1;
        }
        files.insert(relative, file);
    }

    // The serial only grows: one past the last manifest's, or the time if that is later.
    quint64 serial = quint64(QDateTime::currentSecsSinceEpoch());
    QFile previousFile(manifestPath);
    if (previousFile.open(QIODevice::ReadOnly)) {
        PublisherManifest previous;
        const QByteArray previousText = previousFile.read(PublisherManifest::maxSize + 1);
        previousFile.close(); // Windows replaces no file that is still open
        if (previous.parse(previousText))
            serial = qMax(serial, previous.serial() + 1);
        else
            printError("The previous manifest cannot be read (" + previous.error() +
                       "); starting from the time.");
    }

    // A signature of the old manifest would only be refused: it goes with it.
    QFile::remove(signaturePath);
    QSaveFile manifest(manifestPath);
    if (!manifest.open(QIODevice::WriteOnly) ||
        manifest.write(PublisherManifest::format(serial, files)) < 0 || !manifest.commit()) {
        printError("Cannot write " + manifestPath + ": " + manifest.errorString());
        return 1;
    }
    std::printf("%s: %lld files, serial %llu\n", qPrintable(QDir::toNativeSeparators(manifestPath)),
                static_cast<long long>(files.size()), static_cast<unsigned long long>(serial));

    if (!parser.isSet(keyOption)) {
        std::printf("Sign it: ssh-keygen -Y sign -f KEY -n quillon-manifest %s\n",
                    qPrintable(QDir::toNativeSeparators(manifestPath)));
        return 0;
    }
    QProcess sign;
    sign.setProcessChannelMode(QProcess::ForwardedChannels);
    sign.start("ssh-keygen", {"-Y", "sign", "-f", parser.value(keyOption), "-n",
                              QString::fromLatin1(PublisherManifest::signatureNamespace), manifestPath});
    if (!sign.waitForStarted() || !sign.waitForFinished(-1) || sign.exitStatus() != QProcess::NormalExit ||
        sign.exitCode() != 0 || !QFileInfo::exists(signaturePath)) {
        printError("Signing failed (ssh-keygen from OpenSSH is needed); the manifest is written unsigned.");
        return 1;
    }
    std::printf("%s: signed\n", qPrintable(QDir::toNativeSeparators(signaturePath)));
    return 0;
}

} // namespace

// Ends through Platform::endProcess, never the C runtime's exit (which can hang on Windows), so
// the tool never calls exit() itself: QCommandLineParser::parse(), not process().
int main(int argc, char *argv[]) {
    Platform::endProcess(run(argc, argv));
}
