#pragma once
// Fetches one large remote file over every session of a pool at once, range by range, into one local file.
//
// The file is cut into slices of whole 131070-byte steps; each session reads the next free slice with a
// PipelinedReader. The steps are written on the caller's thread, in file order, as soon as every byte
// before them is written, so the local file is at every moment the server file's first bytes (a fetch
// cut at any point can be continued from its end). Steps that arrive early wait in memory; a session
// takes no slice more than slicesAhead past the first unwritten one, which bounds that memory. The
// step handler is called after each step is written: the same sequence of counts the
// one-read-at-a-time loop emits as Counter_Data.
//
// Wiring in the download of one file that worthSplitting() picks (time its OPEN with QElapsedTimer):
//     local file open for writing and positioned at `begin` (0, or where an earlier fetch stopped);
//     RangeDownloader range(pool);
//     lastChunk = range.download(handle, remotePath, size, local, [&](qint64 n, bool written) {
//         emit Counter_Data(n); if (!written) Write_Log(...); ...; return !cancelRequested; }, begin);
// A negative result is a read error: log errorText() the way a failed read is logged.

#include "transfer/sftp/PipelinedReader.h"
#include "transfer/sftp/SftpSessionPool.h"

#include <QString>

#include <functional>

class QFileDevice;

class RangeDownloader {
public:
    static constexpr qint64 stepSize = 131070;
    static constexpr qint64 sliceSteps = 32; // about 4 MB: small enough that sessions end together
    // Every session's current slice and the next one it asks for ahead: at most about 33 MB waiting.
    static constexpr qint64 slicesAhead = 2 * SftpSessionPool::maxSessions;

    // Returns false to stop the download after this step.
    using StepHandler = std::function<bool(qint64 bytes, bool written)>;

    explicit RangeDownloader(SftpSessionPool &pool) : pool(pool) {}

    // Whether a file is worth more than one session: large enough, and the server far enough away that
    // one channel's flow-control window (SftpChannel::channelWindow) is what limits it. openMicroseconds
    // is how long the OPEN of the file took, about one round trip. Near the server the processor is the
    // limit and more sessions only share it (measured on loopback, 2 cores: 211 MB/s alone, 150 with 4).
    static bool worthSplitting(qint64 size, qint64 openMicroseconds) {
        return size >= 4 * sliceSteps * stepSize && openMicroseconds >= 2000;
    }

    // handle is the caller's on the primary session, already open and still the caller's to close. size is
    // what the directory entry gave; a file that turns out longer is still read whole. Reads from the file
    // offset begin on. Returns the number of bytes fetched, or a negative value on a read error. The target
    // device must be open for writing at begin; nothing else may use it meanwhile.
    qint64 download(const QByteArray &handle, const QByteArray &remotePath, qint64 size, QFileDevice &target,
                    const StepHandler &onStep, qint64 begin = 0);

    bool cancelled() const { return wasCancelled; }
    QString errorText() const { return error; }

private:
    SftpSessionPool &pool;
    bool wasCancelled = false;
    QString error;
};
