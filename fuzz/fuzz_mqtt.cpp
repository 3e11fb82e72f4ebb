// Fuzzes how MQTT payloads become tag values (MqttTopicReader, MqttTagValue).
//
// Input: byte 0 picks the decimals (-1 to 9), byte 1 the scale and offset; then the json=
// paths of the topic's tags, one per line (an empty line: the whole payload), up to a NUL
// byte; the rest is the payload. Checks for every tag:
// - the value is clean text (IsCleanText) of at most MaxValueBytes; when it was too long it
//   is empty and the length given is over MaxValueBytes;
// - with decimals, the value is empty or a number with exactly that many decimals;
// - a value without a usable text says why (not JSON, no such field, no text there, not a
//   number), and is then empty;
// - read with the other tags of its topic in one pass, a tag gets what it gets alone;
// - that value, and why there is none, is what a plain reading gives: the field taken
//   through QJsonDocument, then formatted, cleaned and bounded.

#include "FuzzSupport.h"
#include "gateway/MqttPayload.h"
#include "gateway/NumberText.h"
#include "gateway/WireText.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>

#include <algorithm>
#include <cstring>

namespace {

using namespace gateway;

// The field at `path` as QJsonDocument reads it: a number in its shortest exact form, a
// string as it is, true and false as 1 and 0; empty for anything else, with `fault` saying
// why: the payload is not JSON, has no such field, or the field holds no such value.
QByteArray PlainJsonField(const QByteArray& payload, const QString& path, MqttValue::Fault& fault) {
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(payload, &error);
    if (error.error != QJsonParseError::NoError) {
        fault = MqttValue::Fault::NotJson;
        return QByteArray();
    }
    QJsonValue value =
        document.isArray() ? QJsonValue(document.array()) : QJsonValue(document.object());
    for (const QString& step : path.split(QLatin1Char('.'))) {
        bool isIndex = false;
        const int index = step.toInt(&isIndex);
        if (value.isArray() && isIndex)
            value = value.toArray().at(index);
        else if (value.isObject())
            value = value.toObject().value(step);
        else
            value = QJsonValue(QJsonValue::Undefined);
    }
    switch (value.type()) {
    case QJsonValue::Double:
        return QByteArray::number(value.toDouble(), 'g', QLocale::FloatingPointShortest);
    case QJsonValue::String:
        return value.toString().toUtf8();
    case QJsonValue::Bool:
        return value.toBool() ? QByteArrayLiteral("1") : QByteArrayLiteral("0");
    case QJsonValue::Undefined:
        fault = MqttValue::Fault::NoField;
        return QByteArray();
    default:
        fault = MqttValue::Fault::NotText;
        return QByteArray();
    }
}

// The value a plain reading gives, and whether it was too long.
MqttValue PlainValue(const MqttTag& tag, const QByteArray& payload) {
    MqttValue value;
    const QByteArray text =
        tag.jsonPath.isEmpty() ? payload : PlainJsonField(payload, tag.jsonPath, value.fault);
    if (value.fault != MqttValue::Fault::None)
        return value;
    if (tag.decimals >= 0) {
        const QByteArray number = text.trimmed();
        bool ok = false;
        const double read = number.toDouble(&ok);
        if (number.size() > MaxValueBytes) {
            value.tooLong = number.size();
            return value;
        }
        if (ok)
            value.text =
                FormatNumber(static_cast<long double>(read) * tag.scale + tag.offset, tag.decimals);
        // Not a number, or a number there is no text for (not finite, beyond 1e21).
        if (value.text.isEmpty())
            value.fault = MqttValue::Fault::NotANumber;
        return value;
    }
    value.text = CleanText(text);
    if (value.text.size() > MaxValueBytes) {
        value.tooLong = value.text.size();
        value.text.clear();
    }
    return value;
}

// "-"? digits ("." exactly `decimals` digits)?
bool IsFixedPoint(const QByteArray& text, int decimals) {
    qsizetype i = text.startsWith('-') ? 1 : 0;
    const qsizetype digits = i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9')
        ++i;
    if (i == digits)
        return false;
    if (decimals == 0)
        return i == text.size();
    if (i >= text.size() || text[i] != '.')
        return false;
    return text.size() - i - 1 == decimals &&
           std::all_of(text.begin() + i + 1, text.end(),
                       [](char c) { return c >= '0' && c <= '9'; });
}

void CheckValue(const MqttValue& value, int decimals) {
    FUZZ_CHECK(IsCleanText(value.text));
    FUZZ_CHECK(value.text.size() <= MaxValueBytes);
    if (value.tooLong > 0) {
        FUZZ_CHECK(value.text.isEmpty());
        FUZZ_CHECK(value.tooLong > MaxValueBytes);
    }
    if (value.fault != MqttValue::Fault::None)
        FUZZ_CHECK(value.text.isEmpty() && value.tooLong == 0);
    if (decimals >= 0 && !value.text.isEmpty())
        FUZZ_CHECK(IsFixedPoint(value.text, decimals));
    // A number is never an empty text: when a tag wants one, empty means a fault or too long.
    if (decimals >= 0 && value.text.isEmpty())
        FUZZ_CHECK(value.fault != MqttValue::Fault::None || value.tooLong > 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Room for a value past the limit even when written as escapes, and quick runs.
    if (size < 2 || size > 10000)
        return 0;
    static constexpr double Scales[] = {1, 0.1, 1.8, -2, 1e6, 1e-3, 0, 1e300};
    static constexpr double Offsets[] = {0, 32, -273.15, 1e20};
    const int decimals = data[0] % 11 - 1;
    const double scale = Scales[data[1] % 8];
    const double offset = Offsets[(data[1] >> 3) % 4];
    const auto* text = reinterpret_cast<const char*>(data + 2);
    const size_t textSize = size - 2;
    const auto* nul = static_cast<const char*>(std::memchr(text, 0, textSize));
    const size_t pathsSize = nul ? size_t(nul - text) : 0;
    const QByteArray payload = nul ? QByteArray(nul + 1, qsizetype(textSize - pathsSize - 1))
                                   : QByteArray(text, qsizetype(textSize));

    std::vector<MqttTag> tags;
    for (const QByteArray& path : QByteArray(text, qsizetype(pathsSize)).split('\n')) {
        MqttTag tag;
        tag.jsonPath = QString::fromUtf8(path);
        tag.decimals = decimals;
        tag.scale = scale;
        tag.offset = offset;
        tags.push_back(tag);
        if (tags.size() == 8)
            break;
    }
    std::vector<MqttValue> together;
    MqttTopicReader(tags).Read(payload, together);
    FUZZ_CHECK(together.size() == tags.size());
    for (size_t i = 0; i < tags.size(); ++i) {
        const MqttValue alone = MqttTagValue(tags[i], payload);
        CheckValue(alone, decimals);
        FUZZ_CHECK(together[i].text == alone.text);
        FUZZ_CHECK(together[i].tooLong == alone.tooLong);
        FUZZ_CHECK(together[i].fault == alone.fault);
        const MqttValue plain = PlainValue(tags[i], payload);
        FUZZ_CHECK(alone.text == plain.text);
        FUZZ_CHECK(alone.fault == plain.fault);
        FUZZ_CHECK((alone.tooLong > 0) == (plain.tooLong > 0));
    }
    return 0;
}
