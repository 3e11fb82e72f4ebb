#include "TagFile.h"

#include <QRegularExpression>

#include <cmath>

namespace demohub {

namespace {

bool ReadNumber(const QByteArray& text, double& value) {
    bool ok = false;
    const double parsed = text.trimmed().toDouble(&ok);
    if (ok && std::isfinite(parsed))
        value = parsed;
    return ok;
}

// "key=value key=value ...": a value runs up to the blank before the next "key=", so a
// list of states may hold blanks ("states=Standard|High Strength").
QString ApplyParameters(TagDef& tag, const QByteArray& parameters) {
    static const QRegularExpression pair(
        QStringLiteral("([A-Za-z]+)=(.*?)(?=\\s+[A-Za-z]+=|\\s*$)"));
    const QString text = QString::fromUtf8(parameters);
    qsizetype end = 0;
    auto it = pair.globalMatch(text);
    while (it.hasNext()) {
        const auto match = it.next();
        if (!QStringView(text).sliced(end, match.capturedStart() - end).trimmed().isEmpty())
            return QStringLiteral("parameters must be key=value pairs");
        end = match.capturedEnd();
        const QString key = match.captured(1).toLower();
        const QByteArray value = match.captured(2).toUtf8();
        bool ok = true;
        double number = 0;
        if (key == QLatin1String("states")) {
            tag.states = value.split('|');
            if (tag.kind != TagDef::Kind::State)
                return QStringLiteral("\"states\" belongs to kind state");
            continue;
        }
        ok = ReadNumber(value, number);
        if (!ok)
            return QStringLiteral("\"%1\" is not a number").arg(match.captured(0));
        if (key == QLatin1String("base") || key == QLatin1String("start"))
            tag.base = number;
        else if (key == QLatin1String("amplitude"))
            tag.amplitude = number;
        else if (key == QLatin1String("period"))
            tag.period = number;
        else if (key == QLatin1String("noise"))
            tag.noise = number;
        else if (key == QLatin1String("decimals"))
            tag.decimals = int(number);
        else if (key == QLatin1String("rate"))
            tag.rate = number;
        else if (key == QLatin1String("empty"))
            tag.empty = number;
        else
            return QStringLiteral("unknown parameter \"%1\"").arg(key);
    }
    if (!QStringView(text).sliced(end).trimmed().isEmpty())
        return QStringLiteral("parameters must be key=value pairs");
    if (tag.kind == TagDef::Kind::State && tag.states.isEmpty())
        return QStringLiteral("a state tag needs states=A|B|...");
    if (tag.period <= 0)
        return QStringLiteral("period must be above 0");
    if (tag.decimals < 0 || tag.decimals > 9)
        return QStringLiteral("decimals must be 0 to 9");
    return QString();
}

} // namespace

std::vector<TagDef> ParseTagFile(const QByteArray& text, QStringList* warnings) {
    std::vector<TagDef> tags;
    const QList<QByteArray> lines = text.split('\n');
    auto warn = [warnings](qsizetype line, const QString& why) {
        if (warnings)
            warnings->append(QStringLiteral("line %1: %2").arg(line).arg(why));
    };
    for (qsizetype number = 1; number <= lines.size(); ++number) {
        QByteArray line = lines[number - 1];
        if (line.endsWith('\r'))
            line.chop(1);
        const QByteArray trimmed = line.trimmed();
        if (trimmed.isEmpty() || trimmed.startsWith('#'))
            continue;
        const QList<QByteArray> fields = line.split('\t');
        if (fields.size() < 2) {
            warn(number, QStringLiteral("expected name<TAB>kind<TAB>parameters"));
            continue;
        }
        TagDef tag;
        tag.name = fields[0];
        if (tag.name.contains(',')) {
            warn(number, QStringLiteral("a tag name cannot hold \",\""));
            continue;
        }
        const QByteArray kind = fields[1].trimmed().toLower();
        const QByteArray parameters = fields.size() > 2 ? fields[2] : QByteArray();
        if (fields.size() > 3) {
            warn(number, QStringLiteral("too many tabs"));
            continue;
        }
        if (kind == "text") {
            tag.kind = TagDef::Kind::Text;
            tag.states = {parameters};
            tags.push_back(std::move(tag));
            continue;
        }
        if (kind == "number")
            tag.kind = TagDef::Kind::Number;
        else if (kind == "counter")
            tag.kind = TagDef::Kind::Counter;
        else if (kind == "state")
            tag.kind = TagDef::Kind::State;
        else {
            warn(number, QStringLiteral("unknown kind \"%1\"").arg(QString::fromUtf8(kind)));
            continue;
        }
        const QString error = ApplyParameters(tag, parameters);
        if (!error.isEmpty()) {
            warn(number, error);
            continue;
        }
        tags.push_back(std::move(tag));
    }
    return tags;
}

const QByteArray& BuiltInTagFile() {
    static const QByteArray text = QByteArrayLiteral(
        "# A small cement works with a boiler house, tanks and a packing line.\n"
        "Kiln Inlet Temperature\tnumber\tbase=1050 amplitude=35 period=90 decimals=1 "
        "noise=0.1\n"
        "Kiln Outlet Temperature\tnumber\tbase=420 amplitude=15 period=120 decimals=1\n"
        "Kiln Speed\tnumber\tbase=3.2 amplitude=0.4 period=45 decimals=2\n"
        "Kiln Main Drive\tstate\tstates=RUNNING|RUNNING|RUNNING|OFF period=40\n"
        "Kiln Feed Rate t/h\tnumber\tbase=210 amplitude=12 period=70 decimals=0 noise=0.2\n"
        "Boiler Feed Water Flow\tnumber\tbase=125 amplitude=20 period=75 decimals=2\n"
        "Boiler Drum Pressure\tnumber\tbase=42 amplitude=3 period=50 decimals=3\n"
        "Boiler Drum Level\tnumber\tbase=0 amplitude=35 period=40 decimals=1 noise=0.1\n"
        "Boiler Burner\tstate\tstates=OFF|RUNNING|RUNNING|FAULT period=20\n"
        "Boiler Steam Total\tcounter\tstart=982345 rate=12.5\n"
        "Tank1.Level\tnumber\tbase=62 amplitude=30 period=200 decimals=1\n"
        "Tank1.Temperature\tnumber\tbase=55 amplitude=4 period=150 decimals=1\n"
        "Tank2.Level\tnumber\tbase=40 amplitude=38 period=260 decimals=1\n"
        "Tank2.Valve\tstate\tstates=OPEN|CLOSED period=25\n"
        "Line3.Speed.PV\tnumber\tbase=120 amplitude=10 period=30 decimals=1 noise=0.05\n"
        "Line3.Speed.SP\tnumber\tbase=120 decimals=1\n"
        "Line3.Motor.Current\tnumber\tbase=48 amplitude=6 period=35 decimals=2\n"
        "Line3.State\tstate\tstates=OFF|RUNNING|RUNNING|RUNNING|FAULT period=30\n"
        "Line_3 Speed\tnumber\tbase=118 amplitude=8 period=33 decimals=0\n"
        "Line_3 Product Count\tcounter\tstart=1000 rate=2.5\n"
        "Packer Bag Count\tcounter\tstart=0 rate=1\n"
        "Packer State\tstate\tstates=OFF|RUNNING|FAULT period=15\n"
        "Compressor1.Discharge.Pressure\tnumber\tbase=7.5 amplitude=0.6 period=20 decimals=2\n"
        "Compressor1.Running Hours\tcounter\tstart=23456 rate=0.01\n"
        "Outdoor Temperature\tnumber\tbase=-4 amplitude=6 period=300 decimals=1\n"
        "Freezer Temperature\tnumber\tbase=-18 amplitude=1.5 period=80 decimals=2\n"
        "Cooling Water dP\tnumber\tbase=0.8 amplitude=0.3 period=60 decimals=3\n"
        "Stack O2\tnumber\tbase=3.5 amplitude=0.8 period=55 decimals=1\n"
        "Stack CO ppm\tnumber\tbase=45 amplitude=30 period=65 decimals=0 noise=0.3\n"
        "Mill Motor Power kW\tnumber\tbase=3150 amplitude=250 period=95 decimals=0\n"
        "Raw Mix LSF\tnumber\tbase=96.5 amplitude=1.2 period=400 decimals=2\n"
        "Cement Silo 2 Level\tnumber\tbase=71 amplitude=9 period=500 decimals=0\n"
        "Dust Filter DP mbar\tnumber\tbase=12 amplitude=2 period=45 decimals=1\n"
        "Lab Sample pH\tnumber\tbase=7.1 amplitude=0.3 period=120 decimals=2 empty=0.5\n"
        "Recipe\tstate\tstates=Standard|High Strength|Low Alkali period=60\n"
        "Batch Description\ttext\tBatch 17, grade A, silo 3\n"
        "Operator Note\ttext\tCheck filter, then restart\n"
        "Conveyor 7 Belt Alarm\tstate\tstates=OK|OK|OK|ALARM period=12\n"
        "Very Long Tag Name Used To Test The Heading Line Layout Of Columns\tnumber\t"
        "base=5 amplitude=5 period=30 decimals=1\n"
        "PV\tnumber\tbase=50 amplitude=50 period=10 decimals=0\n"
        "X1\tcounter\tstart=-100 rate=3\n");
    return text;
}

std::vector<TagDef> BuiltInTags() {
    return ParseTagFile(BuiltInTagFile());
}

std::vector<TagDef> SyntheticTags(qsizetype count) {
    std::vector<TagDef> tags;
    tags.reserve(size_t(std::max<qsizetype>(0, count)));
    static const QList<QByteArray> states = {"OFF", "RUNNING", "FAULT"};
    for (qsizetype i = 0; i < count; ++i) {
        TagDef tag;
        tag.name = "Area" + QByteArray::number(i / 1000 % 100).rightJustified(2, '0') + ".Tag" +
                   QByteArray::number(i + 1).rightJustified(6, '0');
        switch (i % 4) {
        case 0:
            tag.base = double(i % 500);
            tag.amplitude = 10 + double(i % 7);
            tag.period = 20 + double(i % 40);
            tag.decimals = 2;
            break;
        case 1:
            tag.kind = TagDef::Kind::Counter;
            tag.base = double(i);
            tag.rate = 1 + double(i % 5);
            break;
        case 2:
            tag.kind = TagDef::Kind::State;
            tag.states = states;
            tag.period = 5 + double(i % 20);
            break;
        default:
            tag.base = -50;
            tag.amplitude = 100;
            tag.period = 30 + double(i % 60);
            break;
        }
        tags.push_back(std::move(tag));
    }
    return tags;
}

} // namespace demohub
