// Fuzzes the wire framing with byte streams a hub or a client we do not control might send.
//
// Input: the first byte picks how the rest is cut into chunks (a seeded generator of chunk
// sizes, so one stream arrives in many different pieces); the rest is the byte stream.
//
// AnswerDecoder: answers are decoded one after another from the stream, fed chunk by chunk,
// and compared with a plain reference reading of the whole stream. Invariants: a header over
// 64 MiB is refused, a finished answer holds exactly the announced byte count, the decoder
// never consumes bytes beyond its answer, and nothing more after Done or Error.
//
// CommandReader: the same stream, as a client's request lines, must come out as exactly the
// lines of the stream (one CR before the LF dropped), stopping with Error at the first line
// longer than the limit.

#include "FuzzSupport.h"
#include "hub/Framing.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>

#include <algorithm>

using hubwire::AnswerDecoder;
using hubwire::CommandReader;

namespace {

// Chunk sizes from a small xorshift generator: mostly short pieces (single bytes included),
// now and then a long one.
class Chunker {
public:
    explicit Chunker(uint8_t seed) : state_(0x9E3779B9u ^ (uint32_t(seed) * 0x01000193u)) {}
    qsizetype Next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        const uint32_t r = state_;
        switch (r & 3) {
        case 0:
            return 1;
        case 1:
            return qsizetype(1 + ((r >> 2) & 7));
        case 2:
            return qsizetype(1 + ((r >> 2) & 255));
        default:
            return qsizetype(1 + ((r >> 2) & 4095));
        }
    }

private:
    uint32_t state_;
};

void FuzzAnswers(QByteArrayView stream, uint8_t seed) {
    Chunker chunker(seed);
    AnswerDecoder decoder;
    qsizetype pos = 0;
    // Answers follow each other on one connection; decode as many as the stream holds.
    for (int answer = 0; answer < 64; ++answer) {
        const fuzz::PlainAnswer expected = fuzz::ReadAnswerPlainly(stream, pos);
        decoder.Reset();
        FUZZ_CHECK(!decoder.Started() && decoder.ExpectedLength() == -1);
        qsizetype at = pos;
        AnswerDecoder::Status status = AnswerDecoder::Status::Incomplete;
        while (at < stream.size() && status == AnswerDecoder::Status::Incomplete) {
            const qsizetype piece = std::min(chunker.Next(), stream.size() - at);
            qsizetype consumed = -1;
            status = decoder.Feed(stream.sliced(at, piece), &consumed);
            FUZZ_CHECK(consumed >= 0 && consumed <= piece);
            FUZZ_CHECK(status == decoder.CurrentStatus());
            FUZZ_CHECK(decoder.Started());
            // Only the piece that finishes the answer (or fails it) may leave bytes unused.
            FUZZ_CHECK(status != AnswerDecoder::Status::Incomplete || consumed == piece);
            FUZZ_CHECK(decoder.ExpectedLength() <= hubwire::MaxAnswerBytes);
            at += consumed;
        }
        FUZZ_CHECK(status == expected.status);
        if (status == AnswerDecoder::Status::Error) {
            FUZZ_CHECK(!decoder.ErrorText().isEmpty());
            qsizetype consumed = -1;
            FUZZ_CHECK(decoder.Feed("1\nx", &consumed) == AnswerDecoder::Status::Error);
            FUZZ_CHECK(consumed == 0);
            return;
        }
        if (status == AnswerDecoder::Status::Incomplete) {
            FUZZ_CHECK(at == stream.size());
            FUZZ_CHECK(decoder.ExpectedLength() == expected.length);
            return;
        }
        // Done: exactly the announced bytes, taken from right after the header.
        FUZZ_CHECK(decoder.ExpectedLength() == expected.length);
        FUZZ_CHECK(at == pos + expected.headerBytes + expected.length);
        const QByteArray body = decoder.TakeBody();
        FUZZ_CHECK(body.size() == expected.length);
        FUZZ_CHECK(body == stream.sliced(pos + expected.headerBytes, qsizetype(expected.length)));
        FUZZ_CHECK(decoder.TakeBody().isEmpty());
        qsizetype consumed = -1;
        FUZZ_CHECK(decoder.Feed("7\nagain!", &consumed) == AnswerDecoder::Status::Done);
        FUZZ_CHECK(consumed == 0);
        pos = at;
        if (pos == stream.size())
            return;
    }
}

void FuzzCommands(QByteArrayView stream, uint8_t seed) {
    // The lines the stream holds, and whether a line over the limit ends it.
    QList<QByteArray> expected;
    bool expectError = false;
    qsizetype begin = 0;
    for (;;) {
        const qsizetype lf = stream.indexOf('\n', begin);
        const qsizetype end = lf < 0 ? stream.size() : lf;
        if (end - begin > hubwire::MaxCommandBytes) {
            expectError = true;
            break;
        }
        if (lf < 0)
            break;
        QByteArrayView line = stream.sliced(begin, end - begin);
        if (line.endsWith('\r'))
            line.chop(1);
        expected.append(line.toByteArray());
        begin = lf + 1;
    }

    Chunker chunker(uint8_t(seed ^ 0x5A));
    CommandReader reader;
    QList<QByteArray> lines;
    bool failed = false;
    qsizetype at = 0;
    while (at < stream.size() && !failed) {
        const qsizetype piece = std::min(chunker.Next(), stream.size() - at);
        reader.Append(stream.sliced(at, piece));
        at += piece;
        for (;;) {
            QByteArray command;
            const CommandReader::Status status = reader.Next(command);
            if (status == CommandReader::Status::Incomplete)
                break;
            if (status == CommandReader::Status::Error) {
                failed = true;
                break;
            }
            FUZZ_CHECK(!command.contains('\n'));
            FUZZ_CHECK(command.size() <= hubwire::MaxCommandBytes);
            lines.append(command);
        }
    }
    if (failed) {
        // Once failed, the reader stays failed and takes nothing more.
        reader.Append("GETTAGS\n");
        QByteArray command;
        FUZZ_CHECK(reader.Next(command) == CommandReader::Status::Error);
    }
    FUZZ_CHECK(failed == expectError);
    FUZZ_CHECK(lines == expected);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    const QByteArrayView stream(reinterpret_cast<const char*>(data + 1), qsizetype(size - 1));
    FuzzAnswers(stream, data[0]);
    FuzzCommands(stream, data[0]);

    // The encoders' output always decodes back to what was encoded.
    AnswerDecoder decoder;
    const QByteArray framed = hubwire::EncodeAnswer(stream);
    qsizetype consumed = 0;
    FUZZ_CHECK(decoder.Feed(framed, &consumed) == AnswerDecoder::Status::Done);
    FUZZ_CHECK(consumed == framed.size());
    FUZZ_CHECK(decoder.TakeBody() == stream);
    return 0;
}
