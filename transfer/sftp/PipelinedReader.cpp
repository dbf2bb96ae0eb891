#include "transfer/sftp/PipelinedReader.h"

#include "transfer/sftp/SftpChannel.h"

#include <cstring>

namespace {
// A reply shorter than this is taken as the end of the data rather than as the server's cap.
constexpr quint32 smallestRequest = 4096;
} // namespace

PipelinedReader::PipelinedReader(const SftpSession &session, const QByteArray &handle, qint64 begin,
                                 qint64 end, quint32 requestSize, int window)
    : session(session), handle(handle), nextRequestOffset(begin), end(end),
      requestLength(qMax(requestSize, smallestRequest)), window(qMax(window, 1)), handedOver(begin) {
    inFlight.reserve(this->window + 1);
}

PipelinedReader::~PipelinedReader() {
    drain();
}

void PipelinedReader::setExpectedSize(qint64 bytes) {
    expectedSize = bytes;
}

qint64 PipelinedReader::read(char *buffer, qint64 maxSize) {
    if (error != 0)
        return error;
    qint64 copied = 0;
    while (copied < maxSize) {
        const qint64 available = reply.size() - replyUsed;
        if (available > 0) {
            const qint64 n = qMin(available, maxSize - copied);
            std::memcpy(buffer + copied, reply.constData() + replyUsed, size_t(n));
            replyUsed += n;
            copied += n;
            handedOver += n;
            continue;
        }
        if (endSeen)
            break;
        if (!fillWindow() || (!inFlight.isEmpty() && !receiveNext())) {
            // What arrived before the failure is still handed over; the error follows on the next call.
            if (error == 0)
                error = -1;
            if (errorMessage.isEmpty())
                errorMessage = session.sftp->errorText();
            return copied > 0 ? copied : error;
        }
        if (inFlight.isEmpty() && reply.size() == replyUsed)
            endSeen = endSeen || (end >= 0 && nextRequestOffset >= end);
    }
    return copied;
}

bool PipelinedReader::fillWindow() {
    SftpChannel &channel = *session.sftp;
    while (!endSeen && inFlight.size() < window && (end < 0 || nextRequestOffset < end)) {
        // Past the expected end one request is enough to hear about the end of the file.
        if (expectedSize >= 0 && nextRequestOffset >= expectedSize && !inFlight.isEmpty() &&
            inFlight.last().offset >= expectedSize)
            break;
        quint32 length = requestLength;
        if (end >= 0)
            length = quint32(qMin<qint64>(length, end - nextRequestOffset));
        // Stop the last request at the expected end: the one after it then hears of the end of the file
        // in the same round trip, instead of a short reply and a second request for its tail.
        if (expectedSize > nextRequestOffset)
            length = quint32(qMin<qint64>(length, expectedSize - nextRequestOffset));
        // Bytes asked for and unread never pass the channel's window, which the server must respect.
        if (!inFlight.isEmpty() && channel.readBytesInFlight() + length > SftpChannel::channelWindow)
            break;
        if (!sendRequest(nextRequestOffset, length, false))
            return false;
        nextRequestOffset += length;
    }
    return true;
}

bool PipelinedReader::sendRequest(qint64 offset, quint32 length, bool urgent) {
    const quint32 id = session.sftp->read(handle, offset, length);
    if (id == 0)
        return false;
    const Request request{id, offset, length, urgent};
    if (urgent)
        inFlight.prepend(request);
    else
        inFlight.append(request);
    return true;
}

bool PipelinedReader::receiveNext() {
    const Request request = inFlight.takeFirst();
    SftpChannel::Reply answer;
    if (!session.sftp->waitFor(request.id, answer)) {
        reply.clear();
        replyUsed = 0;
        error = -1;
        return false;
    }
    replyUsed = 0;
    reply.clear();
    if (answer.isEof()) {
        if (request.offset != handedOver) {
            // An end announced before bytes that were already handed on: the file changed under us.
            error = -1;
            errorMessage = QStringLiteral("the file changed while it was read");
            return false;
        }
        endSeen = true;
        drain();
        return true;
    }
    if (answer.type != SftpChannel::Data) {
        error = -1;
        errorMessage = answer.errorText();
        return false;
    }
    if (request.offset != handedOver) {
        // Never hand over bytes whose place in the file is not the next one.
        error = -1;
        errorMessage = QStringLiteral("a reply out of its place in the file");
        return false;
    }
    const quint32 n = quint32(answer.data.size());
    reply = std::move(answer.data);
    replyOffset = request.offset;
    if (n == 0) {
        endSeen = true;
        drain();
        return true;
    }
    if (expectedSize >= 0 && request.offset + n > expectedSize)
        expectedSize = -1; // the file is longer than announced: read on at full speed
    if (request.refill)
        ++shortCount; // the tail of a short reply came: the server caps its replies, the file goes on
    if (n < request.length) {
        if (n >= smallestRequest)
            requestLength = qMin(requestLength, n);
        return sendRequest(request.offset + n, request.length - n, true);
    }
    return true;
}

void PipelinedReader::drain() {
    // Answers still on their way are dropped by the channel when they come.
    for (const Request &request : std::as_const(inFlight))
        session.sftp->forget(request.id);
    inFlight.clear();
}
