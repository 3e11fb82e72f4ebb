// Wire framing: the answer decoder and the command reader, fed whole and byte by byte.

#include "hub/Framing.h"

#include <QTest>

using hubwire::AnswerDecoder;
using hubwire::CommandReader;

Q_DECLARE_METATYPE(AnswerDecoder::Status)

class TestFraming : public QObject {
    Q_OBJECT

private slots:
    void decoder_data();
    void decoder();
    void encodedAnswersDecode_data();
    void encodedAnswersDecode();
    void commandReader_data();
    void commandReader();
};

void TestFraming::decoder_data() {
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<AnswerDecoder::Status>("status");
    QTest::addColumn<QByteArray>("body");

    using S = AnswerDecoder::Status;
    QTest::newRow("empty answer") << QByteArray("0\n") << S::Done << QByteArray();
    QTest::newRow("whole answer") << QByteArray("5\nhello") << S::Done << QByteArray("hello");
    QTest::newRow("bytes after the answer")
        << QByteArray("3\nabcEXTRA") << S::Done << QByteArray("abc");
    QTest::newRow("body holds LF and digits")
        << QByteArray("6\n12\n3\nx") << S::Done << QByteArray("12\n3\nx");
    QTest::newRow("leading zeros")
        << QByteArray("007\nabcdefg") << S::Done << QByteArray("abcdefg");
    QTest::newRow("body still coming") << QByteArray("5\nhel") << S::Incomplete << QByteArray();
    QTest::newRow("header still coming") << QByteArray("12") << S::Incomplete << QByteArray();
    QTest::newRow("nothing yet") << QByteArray() << S::Incomplete << QByteArray();
    QTest::newRow("64 MiB is allowed") << QByteArray("67108864\n") << S::Incomplete << QByteArray();
    QTest::newRow("one byte over 64 MiB") << QByteArray("67108865\n") << S::Error << QByteArray();
    QTest::newRow("huge length, no LF yet")
        << QByteArray("99999999999") << S::Error << QByteArray();
    QTest::newRow("header without digits") << QByteArray("\nhello") << S::Error << QByteArray();
    QTest::newRow("letters in header") << QByteArray("12a\n") << S::Error << QByteArray();
    QTest::newRow("negative length") << QByteArray("-1\n") << S::Error << QByteArray();
    QTest::newRow("blank before digits") << QByteArray(" 5\nhello") << S::Error << QByteArray();
    QTest::newRow("CR LF header") << QByteArray("5\r\nhello") << S::Error << QByteArray();
}

void TestFraming::decoder() {
    QFETCH(QByteArray, stream);
    QFETCH(AnswerDecoder::Status, status);
    QFETCH(QByteArray, body);

    AnswerDecoder whole;
    qsizetype used = -1;
    QCOMPARE(whole.Feed(stream, &used), status);

    AnswerDecoder split;
    for (qsizetype i = 0; i < stream.size(); ++i)
        split.Feed(stream.sliced(i, 1));
    QCOMPARE(split.CurrentStatus(), status);

    if (status == AnswerDecoder::Status::Done) {
        // It takes the header and the body, nothing after them, and nothing more later.
        QCOMPARE(used, stream.indexOf('\n') + 1 + body.size());
        QCOMPARE(whole.TakeBody(), body);
        QCOMPARE(split.TakeBody(), body);
        QCOMPARE(whole.Feed("more", &used), AnswerDecoder::Status::Done);
        QCOMPARE(used, 0);
    } else if (status == AnswerDecoder::Status::Error) {
        QVERIFY(!whole.ErrorText().isEmpty());
    }
    // Reset, it reads the next answer whatever state it was in.
    whole.Reset();
    QCOMPARE(whole.Feed("2\nok"), AnswerDecoder::Status::Done);
    QCOMPARE(whole.TakeBody(), QByteArray("ok"));
}

void TestFraming::encodedAnswersDecode_data() {
    QTest::addColumn<QByteArray>("body");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("UTF-8 text")
        << QStringLiteral("Ofen Temperatur \u00b0C,12\tK\u00fchler,ON").toUtf8();
    QTest::newRow("one megabyte") << QByteArray(1 << 20, 'x');
}

void TestFraming::encodedAnswersDecode() {
    QFETCH(QByteArray, body);
    const QByteArray wire = hubwire::EncodeAnswer(body);
    QVERIFY(wire.startsWith(QByteArray(QByteArray::number(body.size()) + '\n')));
    AnswerDecoder decoder;
    // Deliver in uneven pieces, as a network would.
    for (qsizetype at = 0, piece = 1; at < wire.size(); at += piece, piece = piece * 3 + 1)
        decoder.Feed(QByteArrayView(wire).sliced(at, std::min(piece, wire.size() - at)));
    QCOMPARE(decoder.CurrentStatus(), AnswerDecoder::Status::Done);
    QCOMPARE(decoder.TakeBody(), body);
}

void TestFraming::commandReader_data() {
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<QByteArrayList>("lines");
    QTest::addColumn<bool>("fails");

    const QByteArray longest(hubwire::MaxCommandBytes, 'G');
    QTest::newRow("one command") << QByteArray("GETTAGS\n") << QByteArrayList{"GETTAGS"} << false;
    QTest::newRow("two at once") << QByteArray("GETTAGS\nGETVALUES\n")
                                 << QByteArrayList{"GETTAGS", "GETVALUES"} << false;
    QTest::newRow("CR before LF is dropped")
        << QByteArray("GETTAGS\r\n") << QByteArrayList{"GETTAGS"} << false;
    QTest::newRow("unfinished line waits")
        << QByteArray("GETTAGS\nGETVAL") << QByteArrayList{"GETTAGS"} << false;
    QTest::newRow("empty line") << QByteArray("\n") << QByteArrayList{""} << false;
    QTest::newRow("longest line") << longest + '\n' << QByteArrayList{longest} << false;
    QTest::newRow("over-long line") << longest + "GG\n" << QByteArrayList{} << true;
    QTest::newRow("over-long line without LF") << longest + "GG" << QByteArrayList{} << true;
    QTest::newRow("over-long after a good one")
        << QByteArray("GETTAGS\n") + longest + "GG" << QByteArrayList{"GETTAGS"} << true;
}

void TestFraming::commandReader() {
    QFETCH(QByteArray, stream);
    QFETCH(QByteArrayList, lines);
    QFETCH(bool, fails);

    for (const qsizetype piece : {stream.size(), qsizetype(1)}) {
        CommandReader reader;
        QByteArrayList got;
        bool failed = false;
        for (qsizetype at = 0; at < stream.size() && !failed; at += piece) {
            reader.Append(QByteArrayView(stream).sliced(at, std::min(piece, stream.size() - at)));
            QByteArray line;
            CommandReader::Status status;
            while ((status = reader.Next(line)) == CommandReader::Status::Line)
                got.append(line);
            failed = status == CommandReader::Status::Error;
        }
        QCOMPARE(got, lines);
        QCOMPARE(failed, fails);
    }
}

QTEST_APPLESS_MAIN(TestFraming)
#include "test_framing.moc"
