#include "generate/SvtFormat.h"

#include "generate/Application.h"

#include <QList>
#include <QStringDecoder>

#include <charconv>
#include <optional>

namespace svt {

namespace {

// Characters that never appear raw in a value: controls (C0, DEL, C1), the Unicode line and
// paragraph separators (some editors break lines there) and the byte-order mark.
bool NeedsCodeEscape(char16_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029 || c == 0xFEFF;
}

// The four hexadecimal digits of a "\\u" escape.
void CodeEscapeDigits(char* out, char16_t c) {
    static constexpr char Hex[] = "0123456789ABCDEF";
    for (int shift = 12; shift >= 0; shift -= 4)
        *out++ = Hex[(c >> shift) & 0xF];
}

// Appends text as UTF-8; runs of ASCII are copied without the general conversion.
void AppendUtf8(QByteArray& out, QStringView text) {
    const qsizetype n = text.size();
    const char16_t* c = text.utf16();
    const qsizetype start = out.size();
    out.resize(start + n);
    char* d = out.data() + start;
    qsizetype i = 0;
    while (i < n && c[i] < 0x80) {
        d[i] = char(c[i]);
        ++i;
    }
    if (i == n)
        return;
    out.truncate(start + i);
    out += text.sliced(i).toUtf8();
}

int HexValue(QChar c) {
    const char16_t u = c.unicode();
    if (u >= '0' && u <= '9')
        return u - '0';
    if (u >= 'a' && u <= 'f')
        return u - 'a' + 10;
    if (u >= 'A' && u <= 'F')
        return u - 'A' + 10;
    return -1;
}

} // namespace

namespace {

// The escape scheme, writing through `sink`: sink.Plain(run) takes characters that stand as
// they are, sink.Escape(text) an escape sequence of ASCII characters.
template <typename Sink> void EscapeInto(Sink& sink, QStringView value) {
    const qsizetype n = value.size();
    const QChar* data = value.data();
    qsizetype plainFrom = 0; // start of the run of characters copied as they are
    const auto flush = [&](qsizetype to) {
        if (to > plainFrom)
            sink.Plain(value.sliced(plainFrom, to - plainFrom));
    };
    for (qsizetype i = 0; i < n; ++i) {
        const char16_t c = data[i].unicode();
        if (c > u' ' && c < 0x7F && c != u'\\')
            continue; // the common case: printable ASCII
        const char* escape = nullptr;
        switch (c) {
        case u'\\':
            escape = "\\\\";
            break;
        case u'\n':
            escape = "\\n";
            break;
        case u'\r':
            escape = "\\r";
            break;
        case u'\t':
            escape = "\\t";
            break;
        case u' ':
            // Blanks at either end would be lost to editors that trim lines.
            if (i == 0 || i == n - 1)
                escape = "\\s";
            break;
        default:
            break;
        }
        if (escape) {
            flush(i);
            sink.Escape(escape);
            plainFrom = i + 1;
        } else if (NeedsCodeEscape(c) ||
                   (QChar::isHighSurrogate(c) &&
                    !(i + 1 < n && QChar::isLowSurrogate(data[i + 1].unicode()))) ||
                   QChar::isLowSurrogate(c)) {
            // A lone surrogate has no UTF-8 form; the escape keeps it exactly.
            flush(i);
            char code[7] = {'\\', 'u', 0, 0, 0, 0, 0};
            CodeEscapeDigits(code + 2, c);
            sink.Escape(code);
            plainFrom = i + 1;
        } else if (QChar::isHighSurrogate(c)) {
            ++i; // a valid pair is copied as it is
        }
    }
    flush(n);
}

struct TextSink {
    QString& out;
    void Plain(QStringView run) { out.append(run); }
    void Escape(const char* text) { out += QLatin1String(text); }
};

// Writes UTF-8 straight into the file's bytes: ASCII, nearly all of a file, byte for byte.
struct Utf8Sink {
    QByteArray& out;
    void Plain(QStringView run) { AppendUtf8(out, run); }
    void Escape(const char* text) { out.append(text); }
};

} // namespace

void AppendEscaped(QString& out, QStringView value) {
    TextSink sink{out};
    EscapeInto(sink, value);
}

QString Escape(QStringView value) {
    QString out;
    out.reserve(value.size());
    AppendEscaped(out, value);
    return out;
}

bool Unescape(QStringView text, QString& out, QString* error) {
    // Keeps the storage `out` already has when nobody shares it.
    if (out.isDetached())
        out.resize(0);
    else
        out = QString();
    const qsizetype n = text.size();
    qsizetype from = 0;
    for (;;) {
        const qsizetype at = text.indexOf(QLatin1Char('\\'), from);
        if (at < 0) {
            out.append(text.mid(from));
            return true;
        }
        out.append(text.mid(from, at - from));
        if (at + 1 >= n) {
            if (error)
                *error = QStringLiteral("the value ends with a lone \"\\\"");
            return false;
        }
        const QChar e = text[at + 1];
        from = at + 2;
        switch (e.unicode()) {
        case u'\\':
            out += QLatin1Char('\\');
            break;
        case u'n':
            out += QLatin1Char('\n');
            break;
        case u'r':
            out += QLatin1Char('\r');
            break;
        case u't':
            out += QLatin1Char('\t');
            break;
        case u's':
            out += QLatin1Char(' ');
            break;
        case u'u': {
            int code = 0;
            bool ok = at + 5 < n;
            for (qsizetype k = at + 2; ok && k < at + 6; ++k) {
                const int h = HexValue(text[k]);
                ok = h >= 0;
                code = code * 16 + h;
            }
            if (!ok) {
                if (error)
                    *error = QStringLiteral("\"\\u\" must be followed by four hexadecimal digits");
                return false;
            }
            out += QChar(char16_t(code));
            from = at + 6;
            break;
        }
        default:
            if (error)
                *error = QStringLiteral("unknown escape \"\\%1\"").arg(e);
            return false;
        }
    }
}

QByteArray Write(const Application& app) {
    QByteArray text;
    text.reserve(256 + qsizetype(app.Variables().size()) * 112);
    Utf8Sink sink{text};
    const auto line = [&](const char* key, QStringView value) {
        text += key;
        text += '=';
        EscapeInto(sink, value);
        text += '\n';
    };
    const auto number = [&](const char* key, qint64 value) {
        char digits[24];
        const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
        text += key;
        text += '=';
        text.append(digits, end - digits);
        text += '\n';
    };
    text += "[application]\nformat=SVT\n";
    number("version", FormatVersion);
    number("setup", app.SetUpValue());
    line("title", app.Title());
    number("variables", qint64(app.Variables().size()));
    qsizetype index = 0;
    for (const ApplicationVariable& v : app.Variables()) {
        char digits[24];
        const auto end = std::to_chars(digits, digits + sizeof digits, ++index).ptr;
        text += "[variable ";
        text.append(digits, end - digits);
        text += "]\n";
        line("name", v.Name());
        line("type", v.FieldType());
        number("length", v.Length());
        number("decimals", v.Decimals());
        if (v.Link())
            line("link", *v.Link());
        if (v.Code())
            line("code", *v.Code());
    }
    text += "[end]\n";
    return text;
}

namespace {

// Whether line is exactly "[variable <index>]", the index written without sign or zeros.
bool IsVariableHeader(const QString& line, qsizetype index) {
    static const QLatin1String Head("[variable ");
    if (!line.startsWith(Head) || !line.endsWith(QLatin1Char(']')))
        return false;
    const QStringView digits = QStringView(line).sliced(Head.size(), line.size() - Head.size() - 1);
    if (digits.isEmpty() || digits.size() > 18 || digits.front() == QLatin1Char('0'))
        return false;
    qsizetype value = 0;
    for (const QChar c : digits) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
        value = value * 10 + (c.unicode() - '0');
    }
    return value == index;
}

class Reader {
public:
    Reader(const QByteArray& bytes, const QString& sourceName)
        : bytes_(bytes), sourceName_(sourceName) {}

    Application Run();

private:
    enum class Section { None, Application, Variable, End };

    struct Field {
        QString value;
        bool present = false;
        int line = 0;
    };

    [[noreturn]] void Fail(const QString& what) const { FailAt(lineNumber_, what); }
    [[noreturn]] void FailAt(int line, const QString& what) const {
        throw ComponentError(QStringLiteral("Cannot read \"%1\": line %2: %3")
                                 .arg(sourceName_, QString::number(line), what));
    }
    [[noreturn]] void FailFile(const QString& what) const {
        throw ComponentError(QStringLiteral("Cannot read \"%1\": %2").arg(sourceName_, what));
    }

    static QString Shown(QStringView text) {
        constexpr qsizetype Max = 40;
        QString shown = Escape(text.left(Max));
        if (text.size() > Max)
            shown += QLatin1String("...");
        return QLatin1Char('"') + shown + QLatin1Char('"');
    }

    bool NextLine(QString& line);
    void HandleKey(QStringView key, QStringView rawValue);
    void CloseSection();

    const QByteArray& bytes_;
    const QString& sourceName_;
    qsizetype pos_ = 0;
    int lineNumber_ = 0;
    QStringDecoder decoder_{QStringDecoder::Utf8, QStringDecoder::Flag::ConvertInitialBom};

    Section section_ = Section::None;
    int keysSeen_ = 0; // key lines in the application section, for format/version order
    // Application section.
    Field setup_, title_, count_;
    // Current variable section.
    Field name_, type_, length_, decimals_, link_, code_;
    QString scratch_;
    Application app_;
};

// Reads the next line without its line break (LF or CR LF). Returns false at the end.
bool Reader::NextLine(QString& line) {
    if (pos_ >= bytes_.size())
        return false;
    qsizetype end = bytes_.indexOf('\n', pos_);
    const qsizetype next = end < 0 ? bytes_.size() : end + 1;
    if (end < 0)
        end = bytes_.size();
    if (end > pos_ && bytes_[end - 1] == '\r')
        --end;
    ++lineNumber_;
    const QByteArrayView bytes = QByteArrayView(bytes_).sliced(pos_, end - pos_);
    // ASCII lines, nearly all of a file, are widened into the storage the line already has;
    // anything else goes through the decoder, which also checks it.
    const qsizetype n = bytes.size();
    line.resize(n);
    char16_t* d = reinterpret_cast<char16_t*>(line.data());
    qsizetype i = 0;
    while (i < n && uchar(bytes[i]) < 0x80) {
        d[i] = char16_t(bytes[i]);
        ++i;
    }
    if (i < n) {
        decoder_.resetState();
        line = decoder_.decode(bytes);
        if (decoder_.hasError())
            Fail(QStringLiteral("the text is not valid UTF-8"));
    }
    pos_ = next;
    return true;
}

void Reader::HandleKey(QStringView key, QStringView rawValue) {
    // The value is read into storage that earlier values left behind (see below).
    QString& value = scratch_;
    QString error;
    if (!Unescape(rawValue, value, &error))
        Fail(QStringLiteral("the value of \"%1\" is malformed: %2").arg(key, error));

    if (section_ == Section::Application) {
        ++keysSeen_;
        if (keysSeen_ == 1) {
            if (key != QLatin1String("format") || value != QLatin1String("SVT"))
                Fail(QStringLiteral("expected \"format=SVT\", found %1")
                         .arg(Shown(QString(key + QLatin1Char('=') + rawValue))));
            return;
        }
        if (keysSeen_ == 2) {
            // A plain decimal number: no sign, blanks or leading zeros.
            bool ok = key == QLatin1String("version") && !value.isEmpty() && value.size() <= 9 &&
                      value.front() != QLatin1Char('0');
            for (qsizetype i = 0; ok && i < value.size(); ++i)
                ok = value[i] >= QLatin1Char('0') && value[i] <= QLatin1Char('9');
            const int version = ok ? value.toInt() : 0;
            if (!ok)
                Fail(QStringLiteral("expected \"version=%1\", found %2")
                         .arg(FormatVersion)
                         .arg(Shown(QString(key + QLatin1Char('=') + rawValue))));
            if (version != FormatVersion)
                Fail(QStringLiteral("the file has format version %1; this program reads version "
                                    "%2 only")
                         .arg(version)
                         .arg(FormatVersion));
            return;
        }
    }

    Field* field = nullptr;
    if (section_ == Section::Application) {
        if (key == QLatin1String("setup"))
            field = &setup_;
        else if (key == QLatin1String("title"))
            field = &title_;
        else if (key == QLatin1String("variables"))
            field = &count_;
    } else {
        if (key == QLatin1String("name"))
            field = &name_;
        else if (key == QLatin1String("type"))
            field = &type_;
        else if (key == QLatin1String("length"))
            field = &length_;
        else if (key == QLatin1String("decimals"))
            field = &decimals_;
        else if (key == QLatin1String("link"))
            field = &link_;
        else if (key == QLatin1String("code"))
            field = &code_;
    }
    if (!field)
        return; // Keys of later format additions are ignored.
    if (field->present)
        Fail(QStringLiteral("\"%1\" is given a second time in this section").arg(key));
    // The field's earlier text, which the application may share, becomes the next scratch.
    field->value.swap(value);
    field->present = true;
    field->line = lineNumber_;
}

void Reader::CloseSection() {
    // `section` names the section in a message; it is made only when one is needed.
    const auto require = [this](const Field& f, const char* key, auto section) {
        if (!f.present)
            Fail(QStringLiteral("%1 ends without the line \"%2=...\"")
                     .arg(section(), QLatin1String(key)));
    };
    const auto number = [this](const Field& f, const char* key, qint64 min, qint64 max) {
        const QString& t = f.value;
        bool ok = !t.isEmpty() && t.size() <= 11;
        for (qsizetype i = 0; ok && i < t.size(); ++i)
            ok = (t[i] >= QLatin1Char('0') && t[i] <= QLatin1Char('9')) ||
                 (i == 0 && t[i] == QLatin1Char('-') && t.size() > 1);
        const qint64 v = ok ? t.toLongLong(&ok) : 0;
        if (!ok || v < min || v > max)
            FailAt(f.line, QStringLiteral("\"%1\" must be a whole number from %2 to %3, found %4")
                               .arg(QLatin1String(key))
                               .arg(min)
                               .arg(max)
                               .arg(Shown(t)));
        return v;
    };

    if (section_ == Section::Application) {
        if (keysSeen_ < 2)
            Fail(keysSeen_ == 0 ? QStringLiteral("expected \"format=SVT\"")
                                : QStringLiteral("expected \"version=%1\"").arg(FormatVersion));
        const auto section = [] { return QStringLiteral("the section [application]"); };
        require(setup_, "setup", section);
        require(title_, "title", section);
        require(count_, "variables", section);
        app_.SetUp(int(number(setup_, "setup", INT_MIN, INT_MAX)));
        app_.SetTitle(title_.value);
        number(count_, "variables", 0, INT_MAX);
    } else if (section_ == Section::Variable) {
        const auto section = [this] {
            return QStringLiteral("the section [variable %1]").arg(app_.Variables().size() + 1);
        };
        require(name_, "name", section);
        require(type_, "type", section);
        require(length_, "length", section);
        require(decimals_, "decimals", section);
        // The two usual field types are shared texts rather than a copy per variable.
        static const QString numeric = QStringLiteral("N");
        static const QString text = QStringLiteral("T");
        const QString& type = type_.value == numeric ? numeric
                              : type_.value == text  ? text
                                                     : type_.value;
        IVariable& v = app_.GetVariables().AddVariable(
            name_.value, type, qint16(number(length_, "length", -32768, 32767)),
            qint16(number(decimals_, "decimals", -32768, 32767)));
        if (link_.present)
            v.SetLink(link_.value);
        if (code_.present)
            v.SetCode(code_.value);
        // Only the flags are reset: the texts' storage is reused by the next section.
        for (Field* f : {&name_, &type_, &length_, &decimals_, &link_, &code_})
            f->present = false;
    }
}

Application Reader::Run() {
    if (bytes_.startsWith("\xEF\xBB\xBF"))
        pos_ = 3; // a byte-order mark that an editor may have added
    QString line;
    while (NextLine(line)) {
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue; // blank lines and comments
        if (section_ == Section::End)
            Fail(QStringLiteral("expected nothing after \"[end]\", found %1").arg(Shown(line)));

        if (line.startsWith(QLatin1Char('['))) {
            if (section_ == Section::None) {
                if (line != QLatin1String("[application]"))
                    Fail(QStringLiteral("expected \"[application]\", found %1").arg(Shown(line)));
                section_ = Section::Application;
                continue;
            }
            const qsizetype next =
                qsizetype(app_.Variables().size()) + (section_ == Section::Variable ? 2 : 1);
            if (IsVariableHeader(line, next)) {
                CloseSection();
                section_ = Section::Variable;
                continue;
            }
            if (line == QLatin1String("[end]")) {
                CloseSection();
                const qint64 declared = count_.value.toLongLong();
                if (declared != qint64(app_.Variables().size()))
                    Fail(QStringLiteral("the file declares %1 variables but holds %2")
                             .arg(declared)
                             .arg(app_.Variables().size()));
                section_ = Section::End;
                continue;
            }
            Fail(QStringLiteral("expected \"[variable %1]\" or \"[end]\", found %2")
                     .arg(next)
                     .arg(Shown(line)));
        }

        if (section_ == Section::None)
            Fail(QStringLiteral("expected \"[application]\", found %1").arg(Shown(line)));
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        if (eq <= 0)
            Fail(QStringLiteral("expected \"key=value\" or a section line such as \"[end]\", "
                                "found %1")
                     .arg(Shown(line)));
        HandleKey(QStringView(line).left(eq), QStringView(line).mid(eq + 1));
    }
    if (section_ == Section::None)
        FailFile(lineNumber_ == 0 ? QStringLiteral("the file is empty; expected \"[application]\".")
                                  : QStringLiteral("no \"[application]\" line found."));
    if (section_ != Section::End)
        FailFile(QStringLiteral("the file ends after line %1 without the end marker \"[end]\"; "
                                "it is truncated or incomplete.")
                     .arg(lineNumber_));
    return std::move(app_);
}

} // namespace

Application Read(const QByteArray& text, const QString& sourceName) {
    Reader reader(text, sourceName);
    return reader.Run();
}

} // namespace svt
