#pragma once
// Reading back the CSV files the log sheet writes.

#include <QList>
#include <QString>
#include <QStringList>
#include <utility>

// Splits CSV text into rows of fields (RFC 4180, lines ended by CR LF).
inline QList<QStringList> ParseCsv(const QString& text) {
    QList<QStringList> rows;
    QStringList row;
    QString field;
    bool quoted = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar ch = text[i];
        if (quoted) {
            if (ch == QLatin1Char('"') && i + 1 < text.size() && text[i + 1] == QLatin1Char('"'))
                field += text[++i];
            else if (ch == QLatin1Char('"'))
                quoted = false;
            else
                field += ch;
        } else if (ch == QLatin1Char('"')) {
            quoted = true;
        } else if (ch == QLatin1Char(',')) {
            row << std::exchange(field, QString());
        } else if (ch == QLatin1Char('\r') && i + 1 < text.size() &&
                   text[i + 1] == QLatin1Char('\n')) {
            row << std::exchange(field, QString());
            rows << std::exchange(row, QStringList());
            ++i;
        } else {
            field += ch;
        }
    }
    // A last row without its CR LF.
    if (!field.isEmpty() || !row.isEmpty())
        rows << (row << field);
    return rows;
}
