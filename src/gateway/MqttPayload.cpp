#include "gateway/MqttPayload.h"

#include "gateway/NumberText.h"
#include "gateway/WireText.h"

#include <QLocale>

#include <optional>

namespace gateway {

namespace {

// Numbers without an exponent and of at most this many characters always convert: they lie
// far from both ends of a double's range.
constexpr qsizetype PlainNumberChars = 300;

// The longest texts that can still come out at most MaxValueBytes long. Cleaning makes a text
// at most half as long (a C1 control, two bytes, becomes one blank); decoding and cleaning a
// JSON string at most a sixth (an escape such as \u0085 takes six bytes for one). Anything
// longer is too long without looking closer.
constexpr qsizetype MaxCleanedValueBytes = 2 * MaxValueBytes;
constexpr qsizetype MaxEscapedValueBytes = 6 * MaxValueBytes;

// What a path found in a document. Strings and numbers are kept as where they stand in the
// payload and only converted once the whole document has been read and found good.
struct Found {
    enum class Kind { None, Number, String, True, False, Other };
    Kind kind = Kind::None;
    const char* begin = nullptr; // Number: the literal; String: between the quotes
    const char* end = nullptr;
    bool escaped = false; // String: holds escape sequences
};

// The number a JSON literal stands for, converted the way QJsonDocument converts it (whole
// numbers through a 64-bit integer first); false when that conversion refuses it, which makes
// the whole document invalid.
bool NumberValue(QByteArrayView literal, double& value) {
    bool isInt = true;
    bool inFraction = false;
    for (const char c : literal) {
        if (c == 'e' || c == 'E') {
            isInt = false;
            break;
        }
        if (c == '.')
            inFraction = true;
        else if (inFraction && c != '0')
            isInt = false;
    }
    bool ok = false;
    if (isInt) {
        const qlonglong whole = literal.toLongLong(&ok);
        if (ok) {
            value = double(whole);
            return true;
        }
    }
    value = literal.toDouble(&ok);
    return ok;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The text of a string with escape sequences, between its quotes (already checked): an
// escape \uXXXX gives that UTF-16 code unit, so that a lone surrogate stays one; an escape of
// any other character gives that character, a byte of 0x80 or more standing for the code point
// of the same value.
QString DecodeString(const char* p, const char* end) {
    QString text;
    text.reserve(end - p);
    while (p < end) {
        char32_t c = 0;
        if (*p == '\\') {
            const auto escaped = static_cast<unsigned char>(p[1]);
            p += 2;
            switch (escaped) {
            case 'b':
                c = 0x08;
                break;
            case 'f':
                c = 0x0C;
                break;
            case 'n':
                c = 0x0A;
                break;
            case 'r':
                c = 0x0D;
                break;
            case 't':
                c = 0x09;
                break;
            case 'u':
                for (int i = 0; i < 4; ++i)
                    c = (c << 4) | char32_t(HexDigit(*p++));
                break;
            default:
                c = escaped;
                break;
            }
        } else {
            p += Utf8Sequence(reinterpret_cast<const unsigned char*>(p),
                              reinterpret_cast<const unsigned char*>(end), c);
        }
        if (c > 0xFFFF) {
            text.append(QChar(QChar::highSurrogate(c)));
            text.append(QChar(QChar::lowSurrogate(c)));
        } else {
            text.append(QChar(char16_t(c)));
        }
    }
    return text;
}

// Reads a JSON document in one pass, accepting exactly what QJsonDocument accepts (an object
// or an array at the top, a UTF-8 byte order mark before it, nesting up to 1024 deep), and
// notes where the values the paths lead to stand. A key that occurs twice in an object counts
// with its last value, as in QJsonDocument. Nothing is copied or converted but the keys along
// the paths that hold escapes.
class JsonScan {
public:
    using Path = std::vector<MqttTopicReader::Step>;

    // `paths` must outlive the scan; `wanted` lists the ones to follow.
    JsonScan(const std::vector<const Path*>& paths, const std::vector<size_t>& wanted)
        : paths_(paths), active_(wanted), found_(paths.size()) {}

    // False when `document` is not a JSON document.
    bool Run(QByteArrayView document) {
        p_ = document.data();
        end_ = p_ + document.size();
        if (end_ - p_ > 3 && p_[0] == '\xEF' && p_[1] == '\xBB' && p_[2] == '\xBF')
            p_ += 3;
        const char token = NextToken();
        const size_t to = active_.size();
        if (token == '{') {
            if (!Object(0, to, 0))
                return false;
        } else if (token == '[') {
            if (!Array(0, to, 0))
                return false;
        } else {
            return false;
        }
        EatSpace();
        return p_ == end_;
    }

    const Found& found(size_t path) const { return found_[path]; }

private:
    static constexpr int NestingLimit = 1024;

    // Skips blanks; false at the end of the document.
    bool EatSpace() {
        while (p_ < end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r'))
            ++p_;
        return p_ < end_;
    }

    // The next character after blanks, taken, when it is one of {}[]:," and 0 otherwise (taken
    // too).
    char NextToken() {
        if (!EatSpace())
            return 0;
        const char c = *p_++;
        switch (c) {
        case '{':
        case '}':
        case '[':
        case ']':
        case ':':
        case ',':
        case '"':
            return c;
        default:
            return 0;
        }
    }

    // A string after its opening quote, up to and past its closing one; true when it is well
    // formed and more follows.
    bool String(bool& escaped) {
        escaped = false;
        while (p_ < end_) {
            const auto b = static_cast<unsigned char>(*p_);
            if (b == '"') {
                ++p_;
                return p_ < end_;
            }
            if (b == '\\') {
                escaped = true;
                if (end_ - p_ < 2)
                    return false;
                const char kind = p_[1];
                p_ += 2;
                if (kind == 'u') {
                    if (end_ - p_ < 4)
                        return false;
                    for (int i = 0; i < 4; ++i)
                        if (HexDigit(*p_++) < 0)
                            return false;
                }
            } else if (b < 0x80) {
                ++p_;
            } else {
                char32_t c = 0;
                const int length = Utf8Sequence(reinterpret_cast<const unsigned char*>(p_),
                                                reinterpret_cast<const unsigned char*>(end_), c);
                if (length == 0)
                    return false;
                p_ += length;
            }
        }
        return false;
    }

    static bool IsDigit(char c) { return c >= '0' && c <= '9'; }

    // A number: an optional minus, "0" or digits, an optional point with digits, an optional
    // exponent, each part as loose as QJsonDocument takes it; what the conversion refuses is
    // no number. More must follow.
    bool Number() {
        const char* begin = p_;
        if (p_ < end_ && *p_ == '-')
            ++p_;
        const char* digits = p_;
        if (p_ < end_ && *p_ == '0')
            ++p_;
        else
            while (p_ < end_ && IsDigit(*p_))
                ++p_;
        bool plain = p_ > digits;
        if (p_ < end_ && *p_ == '.') {
            digits = ++p_;
            while (p_ < end_ && IsDigit(*p_))
                ++p_;
            plain = plain && p_ > digits;
        }
        if (p_ < end_ && (*p_ == 'e' || *p_ == 'E')) {
            plain = false;
            ++p_;
            if (p_ < end_ && (*p_ == '-' || *p_ == '+'))
                ++p_;
            while (p_ < end_ && IsDigit(*p_))
                ++p_;
        }
        if (p_ >= end_)
            return false;
        if (plain && p_ - begin <= PlainNumberChars)
            return true;
        double value = 0;
        return NumberValue(QByteArrayView(begin, p_), value);
    }

    // True when `step` names the member whose key stands between `begin` and `end`.
    static bool KeyMatches(const MqttTopicReader::Step& step, const char* begin, const char* end,
                           bool escaped) {
        if (!escaped)
            return QByteArrayView(begin, end) == step.keyUtf8;
        return DecodeString(begin, end) == step.key;
    }

    // A value at p_ (not at the end), reached along the paths active_[from, to) whose first
    // `depth` steps led here.
    bool Value(size_t from, size_t to, int depth) {
        Found found;
        found.begin = p_;
        switch (*p_++) {
        case '{':
            if (!Object(from, to, depth))
                return false;
            found.kind = Found::Kind::Other;
            break;
        case '[':
            if (!Array(from, to, depth))
                return false;
            found.kind = Found::Kind::Other;
            break;
        case '"':
            found.begin = p_;
            if (!String(found.escaped))
                return false;
            found.end = p_ - 1;
            found.kind = Found::Kind::String;
            break;
        case 't':
            if (!Literal("rue"))
                return false;
            found.kind = Found::Kind::True;
            break;
        case 'f':
            if (!Literal("alse"))
                return false;
            found.kind = Found::Kind::False;
            break;
        case 'n':
            if (!Literal("ull"))
                return false;
            found.kind = Found::Kind::Other;
            break;
        case ',':
        case ']':
        case '}':
            return false;
        default:
            --p_;
            if (!Number())
                return false;
            found.end = p_;
            found.kind = Found::Kind::Number;
            break;
        }
        for (size_t i = from; i < to; ++i)
            if (paths_[active_[i]]->size() == size_t(depth))
                found_[active_[i]] = found;
        return true;
    }

    // The rest of a literal after its first letter; more must follow.
    bool Literal(const char* rest) {
        for (; *rest; ++rest, ++p_)
            if (p_ >= end_ || *p_ != *rest)
                return false;
        return p_ < end_;
    }

    // An object after its "{", up to and past its "}".
    bool Object(size_t from, size_t to, int depth) {
        if (++nesting_ > NestingLimit)
            return false;
        char token = NextToken();
        while (token == '"') {
            const char* key = p_;
            bool escaped = false;
            if (!String(escaped))
                return false;
            const char* keyEnd = p_ - 1;
            // The paths that go on into this member; they forget what an earlier member of
            // the same key gave them.
            const size_t childFrom = active_.size();
            for (size_t i = from; i < to; ++i) {
                const Path& path = *paths_[active_[i]];
                if (path.size() > size_t(depth) &&
                    KeyMatches(path[size_t(depth)], key, keyEnd, escaped)) {
                    found_[active_[i]] = Found();
                    active_.push_back(active_[i]);
                }
            }
            if (NextToken() != ':' || !EatSpace())
                return false;
            if (!Value(childFrom, active_.size(), depth + 1))
                return false;
            active_.resize(childFrom);
            token = NextToken();
            if (token != ',')
                break;
            token = NextToken();
            if (token == '}')
                return false;
        }
        if (token != '}')
            return false;
        --nesting_;
        return true;
    }

    // An array after its "[", up to and past its "]".
    bool Array(size_t from, size_t to, int depth) {
        if (++nesting_ > NestingLimit || !EatSpace())
            return false;
        if (*p_ == ']') {
            ++p_;
            --nesting_;
            return true;
        }
        for (int index = 0;; ++index) {
            if (!EatSpace())
                return false;
            const size_t childFrom = active_.size();
            for (size_t i = from; i < to; ++i) {
                const Path& path = *paths_[active_[i]];
                if (path.size() > size_t(depth) && path[size_t(depth)].isIndex &&
                    path[size_t(depth)].index == index)
                    active_.push_back(active_[i]);
            }
            if (!Value(childFrom, active_.size(), depth + 1))
                return false;
            active_.resize(childFrom);
            const char token = NextToken();
            if (token == ']')
                break;
            if (token != ',')
                return false;
        }
        --nesting_;
        return true;
    }

    const std::vector<const Path*>& paths_;
    // The paths being followed: the wanted ones, then for each open member or element the
    // ones that go on into it.
    std::vector<size_t> active_;
    std::vector<Found> found_;
    const char* p_ = nullptr;
    const char* end_ = nullptr;
    int nesting_ = 0;
};

// The text of what a path found, as QJsonDocument would give it: a number in its shortest
// exact form, a string as it is, true and false as 1 and 0, anything else empty. `tooLong`
// is set instead when the text is certainly longer than MaxValueBytes.
QByteArray FoundText(const Found& found, qsizetype& tooLong) {
    switch (found.kind) {
    case Found::Kind::Number: {
        double value = 0;
        NumberValue(QByteArrayView(found.begin, found.end), value);
        if (value == 0)
            value = 0; // no "-0": QJsonDocument keeps it as the integer 0
        return QByteArray::number(value, 'g', QLocale::FloatingPointShortest);
    }
    case Found::Kind::String: {
        const qsizetype bytes = found.end - found.begin;
        if (!found.escaped)
            return QByteArray::fromRawData(found.begin, bytes);
        if (bytes > MaxEscapedValueBytes) {
            tooLong = bytes;
            return QByteArray();
        }
        return DecodeString(found.begin, found.end).toUtf8();
    }
    case Found::Kind::True:
        return QByteArrayLiteral("1");
    case Found::Kind::False:
        return QByteArrayLiteral("0");
    case Found::Kind::None:
    case Found::Kind::Other:
        return QByteArray();
    }
    return QByteArray();
}

} // namespace

MqttTopicReader::MqttTopicReader(const std::vector<MqttTag>& tags) {
    tags_.reserve(tags.size());
    for (const MqttTag& tag : tags) {
        Tag reader{{}, tag.decimals, tag.scale, tag.offset};
        if (!tag.jsonPath.isEmpty()) {
            jsonTags_.push_back(tags_.size());
            for (const QString& key : tag.jsonPath.split(QLatin1Char('.'))) {
                Step step{key, key.toUtf8(), 0, false};
                step.index = key.toInt(&step.isIndex);
                reader.path.push_back(std::move(step));
            }
        }
        tags_.push_back(std::move(reader));
    }
}

void MqttTopicReader::Read(QByteArrayView payload, std::vector<MqttValue>& values) const {
    values.assign(tags_.size(), MqttValue());
    bool json = false;
    std::optional<JsonScan> scan;
    std::vector<const JsonScan::Path*> paths;
    if (!jsonTags_.empty()) {
        paths.reserve(tags_.size());
        for (const Tag& tag : tags_)
            paths.push_back(&tag.path);
        scan.emplace(paths, jsonTags_);
        json = scan->Run(payload);
    }
    for (size_t i = 0; i < tags_.size(); ++i) {
        const Tag& tag = tags_[i];
        MqttValue& value = values[i];
        QByteArray field;
        QByteArrayView text = payload;
        if (!tag.path.empty()) {
            const Found& found = scan->found(i);
            if (!json || found.kind == Found::Kind::None || found.kind == Found::Kind::Other) {
                value.fault = !json                             ? MqttValue::Fault::NotJson
                              : found.kind == Found::Kind::None ? MqttValue::Fault::NoField
                                                                : MqttValue::Fault::NotText;
                continue;
            }
            field = FoundText(found, value.tooLong);
            text = field;
        }
        if (value.tooLong > 0)
            continue;
        if (tag.decimals >= 0) {
            const QByteArrayView number = text.trimmed();
            if (number.size() > MaxValueBytes) {
                value.tooLong = number.size();
                continue;
            }
            bool ok = false;
            const double read = number.toDouble(&ok);
            if (ok)
                value.text = FormatNumber(static_cast<long double>(read) * tag.scale + tag.offset,
                                          tag.decimals);
            // Not a number, or one that cannot be written (not finite, or beyond 1e21 once
            // scaled).
            if (value.text.isEmpty())
                value.fault = MqttValue::Fault::NotANumber;
            continue;
        }
        if (text.size() > MaxCleanedValueBytes) {
            value.tooLong = text.size();
            continue;
        }
        value.text = CleanText(text);
        if (value.text.size() > MaxValueBytes) {
            value.tooLong = value.text.size();
            value.text.clear();
        }
    }
}

QString MqttFaultText(MqttValue::Fault fault) {
    switch (fault) {
    case MqttValue::Fault::None:
        break;
    case MqttValue::Fault::NotJson:
        return QStringLiteral("the payload is not JSON");
    case MqttValue::Fault::NoField:
        return QStringLiteral("the JSON payload has no such field");
    case MqttValue::Fault::NotText:
        return QStringLiteral("the JSON field holds no number, text or truth value");
    case MqttValue::Fault::NotANumber:
        return QStringLiteral("the value is not a number, or one too large to publish");
    }
    return QString();
}

MqttValue MqttTagValue(const MqttTag& tag, QByteArrayView payload) {
    std::vector<MqttValue> values;
    MqttTopicReader({tag}).Read(payload, values);
    return std::move(values.front());
}

} // namespace gateway
