#include "hub/Framing.h"

#include <algorithm>
#include <charconv>
#include <cstring>

namespace hubwire {

QByteArray EncodeHeader(qint64 length) {
    char digits[24];
    const auto result = std::to_chars(digits, digits + sizeof digits, length);
    QByteArray header(digits, result.ptr - digits);
    header.append('\n');
    return header;
}

QByteArray EncodeAnswer(QByteArrayView body) {
    QByteArray answer = EncodeHeader(body.size());
    answer.reserve(answer.size() + body.size());
    answer.append(body);
    return answer;
}

QByteArray EncodeCommand(QByteArrayView command) {
    QByteArray line;
    line.reserve(command.size() + 1);
    line.append(command);
    line.append('\n');
    return line;
}

// ---- AnswerDecoder ----

// At most this much is reserved up front, so a lying header cannot make the client allocate
// 64 MiB for an answer that never comes; larger bodies grow geometrically.
static constexpr qint64 ReserveLimit = qint64(16) * 1024 * 1024;

AnswerDecoder::Status AnswerDecoder::Fail(const QString& why) {
    status_ = Status::Error;
    error_ = why;
    body_.clear();
    return status_;
}

AnswerDecoder::Status AnswerDecoder::Feed(QByteArrayView data, qsizetype* consumed) {
    qsizetype used = 0;
    if (status_ == Status::Incomplete && !data.isEmpty())
        started_ = true;
    while (status_ == Status::Incomplete && used < data.size()) {
        if (!headerDone_) {
            const char c = data[used++];
            if (c == '\n') {
                if (digits_ == 0) {
                    Fail(QStringLiteral("answer header holds no digits"));
                    break;
                }
                headerDone_ = true;
                body_.reserve(std::min(length_, ReserveLimit));
                if (length_ == 0)
                    status_ = Status::Done;
                continue;
            }
            if (c < '0' || c > '9') {
                Fail(QStringLiteral("answer header is not a decimal length"));
                break;
            }
            length_ = length_ * 10 + (c - '0');
            ++digits_;
            if (length_ > MaxAnswerBytes) {
                Fail(QStringLiteral("answer length is over 64 MiB"));
                break;
            }
            continue;
        }
        const qsizetype want = qsizetype(length_ - body_.size());
        const qsizetype take = std::min(want, data.size() - used);
        // Once more than the first reservation has really arrived, the rest is reserved in
        // one step rather than grown (and copied) geometrically.
        if (body_.size() + take > body_.capacity())
            body_.reserve(qsizetype(length_));
        body_.append(data.data() + used, take);
        used += take;
        if (body_.size() == length_)
            status_ = Status::Done;
    }
    if (consumed)
        *consumed = used;
    return status_;
}

void AnswerDecoder::Reset() {
    status_ = Status::Incomplete;
    started_ = false;
    headerDone_ = false;
    length_ = 0;
    digits_ = 0;
    body_.clear();
    error_.clear();
}

// ---- CommandReader ----

void CommandReader::Append(QByteArrayView data) {
    if (failed_)
        return;
    // Drop what was already handed out before the buffer grows, so a long-lived connection
    // does not keep every command it ever sent.
    if (start_ > 0 && (start_ == buffer_.size() || start_ > 4096)) {
        buffer_.remove(0, start_);
        start_ = 0;
    }
    buffer_.append(data);
}

CommandReader::Status CommandReader::Next(QByteArray& command) {
    if (failed_)
        return Status::Error;
    const char* begin = buffer_.constData() + start_;
    const qsizetype available = buffer_.size() - start_;
    const void* lf = std::memchr(begin + scanned_, '\n', size_t(available - scanned_));
    if (!lf) {
        scanned_ = available;
        if (available > MaxCommandBytes) {
            failed_ = true;
            buffer_.clear();
            start_ = scanned_ = 0;
            return Status::Error;
        }
        return Status::Incomplete;
    }
    qsizetype length = static_cast<const char*>(lf) - begin;
    const qsizetype next = start_ + length + 1;
    if (length > MaxCommandBytes) {
        failed_ = true;
        return Status::Error;
    }
    if (length > 0 && begin[length - 1] == '\r')
        --length;
    command = QByteArray(begin, length);
    start_ = next;
    scanned_ = 0;
    return Status::Line;
}

} // namespace hubwire
