#pragma once
// Reads one open remote file with many read requests in flight and hands the bytes over in file order.
//
// Create one reader per opened file (its handle from an OPEN on the same session) and call
//     lastChunk = reader.read(buffer, 131070);
// read() fills the whole buffer unless the file (or the range) ends first, so the caller sees the same
// step sizes a server answering every request in full would give: 131070, 131070, ..., the rest, then 0.
// A negative result is a read error; errorText() says why. The reader must be destroyed before the
// file is closed. Waits for replies are watched by the session's idle time-out.
//
// Each request asks for at most requestLimit bytes. A reply shorter than asked (a server that caps read
// lengths) is kept and the missing tail is requested again at its own offset before anything later is
// handed over; the request size then drops to what the server gave. The bytes asked for and not yet
// received on the channel never pass its flow-control window (SftpChannel::channelWindow).

#include <QByteArray>
#include <QVector>

#include "transfer/sftp/SftpSession.h"

class PipelinedReader {
public:
    static constexpr qint64 stepSize = 131070;
    static constexpr quint32 defaultRequestSize = 64 * 1024;
    static constexpr int defaultWindow = 64;

    // Reads [begin, end) of the file; end < 0 reads until the server reports the end of the file.
    PipelinedReader(const SftpSession &session, const QByteArray &handle, qint64 begin = 0, qint64 end = -1,
                    quint32 requestSize = defaultRequestSize, int window = defaultWindow);
    ~PipelinedReader();

    PipelinedReader(const PipelinedReader &) = delete;
    PipelinedReader &operator=(const PipelinedReader &) = delete;

    // Copies up to maxSize bytes into buffer: maxSize unless the end comes first, 0 at the end,
    // negative on a read error (every later call returns the same).
    qint64 read(char *buffer, qint64 maxSize);

    // True once every byte of a bounded range has been asked for: a next range may start now.
    bool requestedAll() const { return end >= 0 && nextRequestOffset >= end; }
    // Sends the first requests at once, so a range is under way before its first read().
    bool prime() { return error == 0 && fillWindow(); }

    // The file offset of the next byte read() hands over.
    qint64 position() const { return handedOver; }
    // The request size in use: lower than asked once the server answered short.
    quint32 requestSize() const { return requestLength; }
    // How many replies came back short in the middle of the data (a server that caps read lengths).
    int shortReplies() const { return shortCount; }

    // The size the directory entry gave: past it only one request is sent, to hear about the end,
    // so a small file costs one round trip and no needless requests. A longer file is still read whole.
    void setExpectedSize(qint64 bytes);

    QString errorText() const { return errorMessage; }

private:
    struct Request {
        quint32 id;
        qint64 offset;
        quint32 length;
        bool refill; // asks for the missing tail of a short reply
    };

    bool fillWindow();
    bool sendRequest(qint64 offset, quint32 length, bool urgent);
    bool receiveNext();
    void drain();

    const SftpSession &session;
    QByteArray handle;
    qint64 nextRequestOffset;
    qint64 end;
    quint32 requestLength;
    int window;
    QVector<Request> inFlight; // in file order; a re-request of a shortfall goes to the front
    QByteArray reply;          // the last reply, not yet fully handed over
    qint64 replyOffset = 0;    // file offset of reply's first byte
    qint64 replyUsed = 0;
    qint64 handedOver;
    qint64 expectedSize = -1;
    qint64 error = 0;
    bool endSeen = false;
    int shortCount = 0;
    QString errorMessage;
};
