#include "SheetRow.h"

#include <array>

namespace workstation {

namespace {
constexpr std::array<const char*, 7> Codes = {"",        "good",    "stale",  "offline",
                                              "refused", "invalid", "waiting"};
}

Quality QualityFromCode(QStringView code) {
    for (std::size_t i = 1; i < Codes.size(); ++i)
        if (code.compare(QLatin1String(Codes[i]), Qt::CaseInsensitive) == 0)
            return Quality(i);
    return Quality::Unknown;
}

QString QualityCode(Quality quality) {
    const auto i = std::size_t(quality);
    return i < Codes.size() ? QString::fromLatin1(Codes[i]) : QString();
}

QString DateText(const QDateTime& time) {
    return time.toString(QStringLiteral("yyyy-MM-dd"));
}

QString TimeText(const QDateTime& time) {
    return time.toString(QStringLiteral("hh:mm:ss"));
}

QStringList DisplayRow(const SheetRow& row) {
    QStringList cells;
    cells.reserve(row.values.size() + 2);
    cells << DateText(row.time) << TimeText(row.time);
    cells += row.values;
    return cells;
}

} // namespace workstation
