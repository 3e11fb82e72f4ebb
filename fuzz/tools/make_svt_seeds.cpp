// Writes the .SVT seed files of fuzz_svt through the application model, so the seeds are
// files exactly as the generator writes them. Usage: make_svt_seeds FOLDER

#include "generate/Application.h"

#include <QDir>
#include <QFile>

#include <cstdio>

namespace {

struct Tag {
    const char16_t* variable;
    const char* type;
    qint16 length;
    qint16 decimals;
    const char16_t* name;
};

// An application as the Generate page builds it: Date, Time, then one variable per tag
// linked to the hub.
Application Build(const QString& title, const QString& prefix, std::initializer_list<Tag> tags) {
    Application app;
    app.SetUp(1);
    app.SetTitle(title);
    app.GetVariables().AddVariable(QStringLiteral("Date"), QStringLiteral("T"), 8, 0);
    app.GetVariables().AddVariable(QStringLiteral("Time"), QStringLiteral("T"), 8, 0);
    for (const Tag& t : tags) {
        IVariable& v = app.GetVariables().AddVariable(QString::fromUtf16(t.variable),
                                                      QLatin1String(t.type), t.length, t.decimals);
        v.SetLink(prefix + QString::fromUtf16(t.name));
        v.SetCode(QStringLiteral("P"));
    }
    return app;
}

bool Write(const QString& folder, const char* file, const Application& app) {
    QFile out(QDir(folder).filePath(QLatin1String(file)));
    const QByteArray data = app.ToSvt();
    if (!out.open(QIODevice::WriteOnly) || out.write(data) != data.size()) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(out.fileName()));
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_svt_seeds FOLDER\n");
        return 2;
    }
    const QString folder = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(folder);
    bool ok = true;
    ok &= Write(folder, "kiln.svt",
                Build(QStringLiteral("Kiln Log Sheet"), QStringLiteral("HUB:"),
                      {{u"Kiln Inlet_Temperature", "N", 6, 1, u"Kiln Inlet Temperature"},
                       {u"Kiln Main Drive", "T", 7, 0, u"Kiln Main Drive"},
                       {u"Tank1_Level", "N", 4, 1, u"Tank1.Level"},
                       {u"Line_3 Speed", "N", 3, 0, u"Line_3 Speed"},
                       {u"Boiler_Feed_Water Flow", "N", 6, 2, u"Boiler Feed Water Flow"}}));
    ok &= Write(folder, "remote.svt",
                Build(QStringLiteral("Line 3 \u2013 Kühler, \"Nacht\"\tSchicht "),
                      QStringLiteral("TCP:[::1]:6000!"),
                      {{u"Batch Description", "T", 25, 0, u"Batch Description"},
                       {u"Outdoor_Temperature", "N", 5, 1, u"Outdoor Temperature"},
                       {u"Lab Sample pH", "N", 1, 0, u"Lab Sample pH"},
                       {u"", "N", 1, 0, u""}}));
    ok &= Write(folder, "empty.svt", Application());
    Application odd = Build(QStringLiteral(" \\ back\\slash \n"), QStringLiteral("HUB:"),
                            {{u"Pump_Discharge PV", "N", 32767, -32768, u"Pump Discharge PV"}});
    odd.SetUp(-2147483647 - 1);
    odd.GetVariables().AddVariable(QStringLiteral("no link"), QStringLiteral("X"), 0, 0);
    ok &= Write(folder, "limits.svt", odd);
    return ok ? 0 : 1;
}
