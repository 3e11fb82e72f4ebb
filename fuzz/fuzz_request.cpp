// Fuzzes hubreader::ParseRequest, which splits "HUB:" + command or "TCP:" + address + ":" +
// port + "!" + command, with any text (the address and port come from what the user typed).
//
// Input: the bytes as UTF-8 text, and again as raw UTF-16 code units.
// Checks: no crash; a refusal always says why; an accepted request has a command without
// line breaks of at most 4096 bytes that is exactly the text after the prefix, and a TCP
// request has a non-empty address without blanks around it and a port of 1 to 65535 that
// RoundPortText gives for the text between the last ":" and the first "!". RoundPortText
// also accepts every port text that the numeric rule reads as 1..65535 after rounding.

#include "FuzzSupport.h"
#include "hub/Framing.h"
#include "hub/HubReader.h"
#include "model/Numeric.h"

#include <cmath>

namespace {

void Check(const QString& request) {
    QString why;
    const std::optional<hubreader::Target> target = hubreader::ParseRequest(request, &why);
    if (!target) {
        FUZZ_CHECK(!why.isEmpty());
        return;
    }
    FUZZ_CHECK(!target->command.isEmpty());
    FUZZ_CHECK(!target->command.contains('\n') && !target->command.contains('\r'));
    FUZZ_CHECK(target->command.size() <= hubwire::MaxCommandBytes);
    FUZZ_CHECK(!target->ConnectionKey().isEmpty());

    if (target->kind == hubreader::Target::Kind::Local) {
        FUZZ_CHECK(request.startsWith(QLatin1String("HUB:"), Qt::CaseInsensitive));
        FUZZ_CHECK(target->command == QStringView(request).mid(4).toUtf8());
        return;
    }
    FUZZ_CHECK(request.startsWith(QLatin1String("TCP:"), Qt::CaseInsensitive));
    FUZZ_CHECK(target->port >= 1); // a quint16, so also at most 65535
    FUZZ_CHECK(!target->host.isEmpty());
    FUZZ_CHECK(target->host.trimmed() == target->host);
    const qsizetype bang = request.indexOf(QLatin1Char('!'), 4);
    FUZZ_CHECK(bang >= 0);
    FUZZ_CHECK(target->command == QStringView(request).mid(bang + 1).toUtf8());
    const QStringView hostPort = QStringView(request).mid(4, bang - 4);
    const qsizetype colon = hostPort.lastIndexOf(QLatin1Char(':'));
    FUZZ_CHECK(colon >= 0);
    const std::optional<quint16> port = hubreader::RoundPortText(hostPort.mid(colon + 1));
    FUZZ_CHECK(port && *port == target->port);
    FUZZ_CHECK(hostPort.left(colon).contains(target->host));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QString utf8 = fuzz::FromUtf8(data, size);
    Check(utf8);
    Check(fuzz::FromUtf16(data, size));
    // The same text behind each prefix, so the fuzzer need not find the prefixes first.
    Check(QStringLiteral("HUB:") + utf8);
    Check(QStringLiteral("TCP:") + utf8);
    // Any port text: RoundPortText answers 1..65535 or nothing, and it takes every port the
    // Connect page accepts by the numeric rule, rounded the same way.
    const std::optional<quint16> port = hubreader::RoundPortText(utf8);
    if (port)
        FUZZ_CHECK(*port >= 1);
    if (const std::optional<double> value = numeric::ParseNumber(utf8)) {
        const double rounded = numeric::RoundHalfEven(*value);
        if (rounded >= 1 && rounded <= 65535)
            FUZZ_CHECK(port && *port == quint16(rounded));
    }
    return 0;
}
