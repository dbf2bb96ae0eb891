#include "transfer/PublisherTrust.h"

#include "core/CEncryptedSettings.h"
#include "core/Log.h"
#include "transfer/SshSignature.h"
#include "transfer/sftp/PipelinedReader.h"
#include "transfer/sftp/SftpChannel.h"
#include "transfer/sftp/SftpSession.h"

const QString PublisherTrust::keySetting = QStringLiteral("SFTP/PublisherKey");
const QString PublisherTrust::serialSetting = QStringLiteral("SFTP/PublisherSerial");
const QString PublisherTrust::refusalLogPrefix =
    QStringLiteral("The server's files are not signed by the publisher - ");

namespace {

enum class Fetch { Done, Missing, TooLarge, Failed };

// Reads a whole small file from the download root, refusing anything past maxSize: no request
// asks for a byte beyond it.
Fetch fetchSmallFile(const SftpSession &session, const QByteArray &name, qint64 maxSize, QByteArray *out) {
    SftpChannel &channel = *session.sftp;
    SftpChannel::Reply opened;
    const quint32 openId = channel.open(QByteArray(remoteRoot) + '/' + name);
    if (!openId || !channel.waitFor(openId, opened))
        return Fetch::Failed;
    if (opened.type != SftpChannel::Handle)
        return opened.type == SftpChannel::Status && opened.status == SftpChannel::NoSuchFile ? Fetch::Missing
                                                                                              : Fetch::Failed;
    // Its size first, so the reads ask for just that much (a larger file is not read at all).
    SftpChannel::Reply stat;
    const quint32 statId = channel.fstat(opened.handle);
    const bool sized =
        statId && channel.waitFor(statId, stat) && stat.type == SftpChannel::Attrs && stat.attributes.hasSize;
    Fetch result = sized && stat.attributes.size > maxSize ? Fetch::TooLarge : Fetch::Done;
    out->clear();
    if (result == Fetch::Done) {
        PipelinedReader reader(session, opened.handle, 0, maxSize + 1);
        if (sized)
            reader.setExpectedSize(stat.attributes.size);
        QByteArray buffer(PipelinedReader::stepSize, Qt::Uninitialized);
        for (;;) {
            const qint64 count = reader.read(buffer.data(), buffer.size());
            if (count < 0)
                result = Fetch::Failed;
            if (count <= 0)
                break;
            if (out->size() + count > maxSize) {
                result = Fetch::TooLarge;
                break;
            }
            out->append(buffer.constData(), count);
        }
    }
    channel.forget(channel.close(opened.handle));
    return result;
}

CEncryptedSettings *settings() {
    return CEncryptedSettings::getInstance(QString(), 0);
}

} // namespace

QString PublisherTrust::refusedText(bool russian) {
    return russian
               ? QStringLiteral("Файлы на сервере не подписаны издателем. Ничего не установлено и не "
                                "изменено.")
               : QStringLiteral("The server's files are not signed by the publisher. Nothing was installed "
                                "or changed.");
}

PublisherTrust::Outcome PublisherTrust::refuse(const QString &why) {
    reason = why;
    accepted.reset();
    return Refused;
}

PublisherTrust::Outcome PublisherTrust::establish(const SftpSession &session) {
    accepted.reset();
    reason.clear();
    const QString keys = settings()->value(keySetting).toString();
    if (keys.trimmed().isEmpty())
        return NotRequired;

    QByteArray manifestBytes, signatureBytes;
    const Fetch manifestFetch =
        fetchSmallFile(session, PublisherManifest::fileName, PublisherManifest::maxSize, &manifestBytes);
    const Fetch signatureFetch = manifestFetch == Fetch::Failed
                                     ? Fetch::Failed
                                     : fetchSmallFile(session, PublisherManifest::signatureFileName,
                                                      SshSignature::maxArmoredSize, &signatureBytes);
    Outcome outcome;
    if (manifestFetch == Fetch::Failed || signatureFetch == Fetch::Failed) {
        // A server that went away is a connection failure; one that refuses the read is a refusal.
        if (sessionLost(session))
            return Lost;
        outcome = refuse("the manifest or its signature cannot be read");
    } else if (manifestFetch == Fetch::Missing) {
        outcome = refuse("the server has no manifest");
    } else if (signatureFetch == Fetch::Missing) {
        outcome = refuse("the manifest is not signed");
    } else if (manifestFetch == Fetch::TooLarge || signatureFetch == Fetch::TooLarge) {
        outcome = refuse("the manifest or its signature is too large");
    } else {
        outcome = verify(keys, manifestBytes, signatureBytes,
                         settings()->value(serialSetting).toString().toULongLong());
    }
    if (outcome == Refused) {
        Write_Log(refusalLogPrefix + reason);
        return Refused;
    }
    if (accepted->serial() > settings()->value(serialSetting).toString().toULongLong())
        settings()->setValue(serialSetting, QString::number(accepted->serial()));
    return Accepted;
}

PublisherTrust::Outcome PublisherTrust::verify(const QString &keySettingText, const QByteArray &manifestBytes,
                                               const QByteArray &signatureBytes, quint64 highestSerial) {
    accepted.reset();
    QString why;
    const QList<QByteArray> keys = SshSignature::readPublicKeys(keySettingText, &why);
    if (keys.isEmpty())
        return refuse(why);
    SshSignature signature;
    if (!signature.read(signatureBytes) ||
        !signature.verify(manifestBytes, PublisherManifest::signatureNamespace, keys))
        return refuse(signature.error());
    auto manifest = std::make_shared<PublisherManifest>();
    if (!manifest->parse(manifestBytes))
        return refuse(manifest->error());
    if (manifest->serial() < highestSerial)
        return refuse(QString("the manifest is older than one already accepted (serial %1 < %2)")
                          .arg(manifest->serial())
                          .arg(highestSerial));
    accepted = std::move(manifest);
    reason.clear();
    return Accepted;
}
