#pragma once
// How an MQTT message becomes a tag's value: pure logic, apart from the broker connection.

#include "gateway/TagFile.h"

#include <QByteArray>

namespace gateway {

// The published text of an MQTT tag for `payload`: the payload itself or one field of a JSON
// payload; a number with the tag's decimals (after scale and offset) when it has decimals.
// Empty when the field is missing or the number does not read.
QByteArray MqttValueText(const MqttTag& tag, const QByteArray& payload);

} // namespace gateway
