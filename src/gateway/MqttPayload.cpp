#include "gateway/MqttPayload.h"

#include "gateway/NumberText.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>

namespace gateway {

namespace {

QByteArray JsonField(const QByteArray& payload, const QString& path) {
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(payload, &error);
    if (error.error != QJsonParseError::NoError)
        return QByteArray();
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
            return QByteArray();
    }
    switch (value.type()) {
    case QJsonValue::Double:
        return QByteArray::number(value.toDouble(), 'g', QLocale::FloatingPointShortest);
    case QJsonValue::String:
        return value.toString().toUtf8();
    case QJsonValue::Bool:
        return value.toBool() ? QByteArrayLiteral("1") : QByteArrayLiteral("0");
    default:
        return QByteArray();
    }
}

} // namespace

QByteArray MqttValueText(const MqttTag& tag, const QByteArray& payload) {
    QByteArray text = tag.jsonPath.isEmpty() ? payload : JsonField(payload, tag.jsonPath);
    if (tag.decimals >= 0) {
        bool ok = false;
        const double number = text.trimmed().toDouble(&ok);
        if (!ok)
            return QByteArray();
        return FormatNumber(static_cast<long double>(number) * tag.scale + tag.offset,
                            tag.decimals);
    }
    // Tabs and line breaks would end the entry on the wire.
    for (char& c : text)
        if (c == '\t' || c == '\n' || c == '\r')
            c = ' ';
    return text;
}

} // namespace gateway
