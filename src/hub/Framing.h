#pragma once
// Wire framing of the hub protocol (version 1), shared by the demo hub and the hub reader.
//
//   client -> server:  command word, LF                       ("GETVALUES\n")
//   server -> client:  length as decimal digits, LF, then exactly that many bytes of UTF-8
//
// The connection stays open for further requests. docs/hub-protocol.md describes the protocol
// for people writing their own hub or client.

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <utility>

namespace hubwire {

// Largest answer a client accepts: 64 MiB.
inline constexpr qint64 MaxAnswerBytes = qint64(64) * 1024 * 1024;
// Longest command line (without its LF) a server accepts.
inline constexpr qsizetype MaxCommandBytes = 4096;

// The header of an answer of `length` bytes: the decimal digits and LF.
QByteArray EncodeHeader(qint64 length);
// A whole answer: header followed by the body.
QByteArray EncodeAnswer(QByteArrayView body);
// A request line: the command word followed by LF.
QByteArray EncodeCommand(QByteArrayView command);

// Client side: takes the bytes of one answer as they arrive, in pieces of any size.
class AnswerDecoder {
public:
    enum class Status { Incomplete, Done, Error };

    // Consumes bytes from `data` up to the end of the answer and no further; `consumed` (when
    // given) receives how many were used. Bytes left over belong to whatever follows the
    // answer. After Done or Error further calls consume nothing.
    Status Feed(QByteArrayView data, qsizetype* consumed = nullptr);

    Status CurrentStatus() const { return status_; }
    // True once any byte of the answer has arrived.
    bool Started() const { return started_; }
    // The length announced by the header, -1 while the header is incomplete.
    qint64 ExpectedLength() const { return headerDone_ ? length_ : -1; }
    // Why decoding failed (empty unless CurrentStatus() is Error).
    const QString& ErrorText() const { return error_; }
    // The body of a finished answer; leaves the decoder holding an empty body.
    QByteArray TakeBody() { return std::exchange(body_, QByteArray()); }

    // Back to the start, ready for the next answer.
    void Reset();

private:
    Status Fail(const QString& why);

    Status status_ = Status::Incomplete;
    bool started_ = false;
    bool headerDone_ = false;
    qint64 length_ = 0;
    int digits_ = 0;
    QByteArray body_;
    QString error_;
};

// Server side: splits the incoming byte stream into command lines.
class CommandReader {
public:
    enum class Status { Incomplete, Line, Error };

    // Adds received bytes.
    void Append(QByteArrayView data);
    // Takes the next complete line into `command` (without LF and without one CR before it)
    // and returns Line; Incomplete when no whole line is buffered yet; Error when a line grows
    // beyond MaxCommandBytes without its LF (the connection should then be closed).
    Status Next(QByteArray& command);
    // True when bytes of a line whose LF has not come yet are buffered.
    bool InLine() const { return !failed_ && buffer_.size() > start_; }

private:
    QByteArray buffer_;
    qsizetype start_ = 0;   // first unread byte of buffer_
    qsizetype scanned_ = 0; // bytes from start_ already known to hold no LF
    bool failed_ = false;
};

} // namespace hubwire
