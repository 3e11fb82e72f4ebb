// Fuzzes the .SVT reader, Application::FromSvt, with files a user might hand us, and the
// writer's escaping with arbitrary texts.
//
// Input, first use: the bytes are a .SVT file. Reading it either throws ComponentError (with
// a message) or returns an application; for one that was returned, writing it and reading
// that back gives an equal application, and writing that again gives the same bytes.
// Input, second use: the bytes as raw UTF-16 become the title, a variable's name, type, link
// and code (lone surrogates, controls and blanks at the ends included); the written file
// must read back as the same application.

#include "FuzzSupport.h"
#include "component/Component.h"
#include "generate/Application.h"

#include <optional>

namespace {

const QString& SourceName() {
    static const QString name = QStringLiteral("fuzz.SVT");
    return name;
}

// Reads text; a ComponentError becomes nullopt, anything else escapes and stops the run.
std::optional<Application> Read(const QByteArray& text) {
    try {
        return Application::FromSvt(text, SourceName());
    } catch (const ComponentError& error) {
        FUZZ_CHECK(error.message().startsWith(QStringLiteral("Cannot read \"fuzz.SVT\": ")));
        return std::nullopt;
    }
}

void CheckRoundTrip(const Application& app) {
    const QByteArray written = app.ToSvt();
    const std::optional<Application> again = Read(written);
    FUZZ_CHECK(again.has_value());
    FUZZ_CHECK(*again == app);
    FUZZ_CHECK(again->ToSvt() == written);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes =
        QByteArray::fromRawData(reinterpret_cast<const char*>(data), qsizetype(size));
    if (const std::optional<Application> app = Read(bytes))
        CheckRoundTrip(*app);

    const QString text = fuzz::FromUtf16(data, size);
    Application built;
    built.SetUp(int(size));
    built.SetTitle(text);
    IVariable& date =
        built.GetVariables().AddVariable(QStringLiteral("Date"), QStringLiteral("T"), 8, 0);
    (void)date;
    IVariable& v = built.GetVariables().AddVariable(text, text.left(1), qint16(size),
                                                    qint16(-qint16(size % 7)));
    v.SetLink(QStringLiteral("HUB:") + text);
    v.SetCode(text.right(3));
    CheckRoundTrip(built);
    return 0;
}
