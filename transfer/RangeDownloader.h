#pragma once
// Fetches one large remote file over every session of a pool at once, range by range, into one local file.
//
// The file is cut into slices of whole 131070-byte steps; each session reads the next free slice with a
// PipelinedReader and writes it at its own offset, so the local file is right whatever order slices end
// in. On the caller's thread the step handler is called in file order, once per 131070-byte step (the
// last one short), as soon as every byte up to that step is written: the same sequence of counts the
// one-read-at-a-time loop emits as Counter_Data.
//
// Wiring in the download of one file that worthSplitting() picks (time the sftp_open with QElapsedTimer):
//     QSaveFile local(localPath); local.open(QIODevice::WriteOnly);
//     RangeDownloader range(pool);
//     lastChunk = range.download(remoteFile, remotePath, size, local, [&](qint64 n, bool written) {
//         emit Counter_Data(n); if (!written) Write_Log(...); ...; return !cancelRequested; });
// A negative result is a read error: log errorText() the way a failed sftp_read is logged.

#include "transfer/SftpSessionPool.h"

#include <QString>

#include <functional>

class QFileDevice;

class RangeDownloader {
public:
    static constexpr qint64 stepSize = 131070;
    static constexpr qint64 sliceSteps = 32; // about 4 MB: small enough that sessions end together

    // Returns false to stop the download after this step.
    using StepHandler = std::function<bool(qint64 bytes, bool written)>;

    explicit RangeDownloader(SftpSessionPool &pool) : pool(pool) {}

    // Whether a file is worth more than one session: large enough, and the server far enough away that
    // one channel's flow-control window (1,280,000 bytes in libssh 0.10) is what limits it. openTime is
    // how long sftp_open of the file took, about one round trip. Near the server the processor is the
    // limit and more sessions only share it (measured on loopback, 2 cores: 211 MB/s alone, 150 with 4).
    static bool worthSplitting(qint64 size, qint64 openMicroseconds) {
        return size >= 4 * sliceSteps * stepSize && openMicroseconds >= 2000;
    }

    // remoteFile is the caller's handle on the primary session, already open and still the caller's to
    // close. size is what the directory entry gave; a file that turns out longer is still read whole.
    // Returns the number of bytes fetched, or a negative value on a read error. The target device must be
    // open for writing; nothing else may use it meanwhile.
    qint64 download(sftp_file remoteFile, const QByteArray &remotePath, qint64 size, QFileDevice &target,
                    const StepHandler &onStep);

    // Passed on to every reader (PipelinedReader::setChannelWindow); 0, the default, leaves libssh's own.
    void setChannelWindow(quint32 bytes) { channelWindow = bytes; }

    bool cancelled() const { return wasCancelled; }
    QString errorText() const { return error; }

private:
    SftpSessionPool &pool;
    quint32 channelWindow = 0;
    bool wasCancelled = false;
    QString error;
};
