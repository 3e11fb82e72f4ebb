#pragma once
// One row of a log sheet: what the poller gives out, the history keeps and the views show.

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QStringView>
#include <vector>

namespace workstation {

// The quality of one value as its hub reports it in answer to "GETSTATUS". Unknown: the hub
// does not say (it does not answer "GETSTATUS", did not answer at all, or the variable has no
// usable link).
enum class Quality : unsigned char { Unknown, Good, Stale, Offline, Refused, Invalid, Waiting };

// "good", "stale", "offline", "refused", "invalid", "waiting" (letter case ignored); anything
// else is Unknown.
Quality QualityFromCode(QStringView code);
// The code of a quality as the hub writes it; "" for Unknown.
QString QualityCode(Quality quality);

struct SheetRow {
    QDateTime time;               // when the row was polled, local time
    QStringList values;           // one per variable column, the columns after "Date" and "Time"
    std::vector<Quality> quality; // one per value
};

// The sheet's date (yyyy-MM-dd) and time (hh:mm:ss) columns of a row's time.
QString DateText(const QDateTime& time);
QString TimeText(const QDateTime& time);
// The row as the sheet shows it: the date, the time, then the values.
QStringList DisplayRow(const SheetRow& row);

} // namespace workstation
