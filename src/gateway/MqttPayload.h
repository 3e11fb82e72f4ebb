#pragma once
// How an MQTT message becomes the values of its topic's tags: pure logic, apart from the broker
// connection. A JSON payload is read once for all the tags of its topic, in one pass that keeps
// nothing but the fields they take: a payload costs time in proportion to its size and no
// memory beyond itself, however large it is.

#include "gateway/TagFile.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <vector>

namespace gateway {

// What one message makes of one tag.
struct MqttValue {
    // What the tag publishes: clean text (IsCleanText) of at most MaxValueBytes.
    QByteArray text;
    // When the value was longer than MaxValueBytes, its length (`text` is then empty); 0
    // otherwise. A text far too long is not cleaned or decoded to find out: its length is then
    // taken as it stands in the payload.
    qsizetype tooLong = 0;
    // Why the message holds no value for the tag (`text` is then empty and tooLong 0); None
    // when it does, an empty text included.
    enum class Fault : quint8 {
        None,
        NotJson,    // the tag takes a JSON field and the payload is not a JSON document
        NoField,    // the document has no such field
        NotText,    // the field holds an object, an array or null
        NotANumber, // the tag has decimals and the text is not a number it can publish
    };
    Fault fault = Fault::None;
};

// What `fault` means, for the log: "the payload is not JSON", ...
QString MqttFaultText(MqttValue::Fault fault);

// Reads the values of the tags of one topic from each of its messages.
class MqttTopicReader {
public:
    explicit MqttTopicReader(const std::vector<MqttTag>& tags);

    qsizetype Count() const { return qsizetype(tags_.size()); }
    // The value of each tag, in the order the constructor was given them, for `payload`: the
    // payload itself or one field of a JSON payload (empty with a fault when the payload is
    // not JSON or the field is missing or holds no text); a number with the tag's decimals
    // (after scale and offset) when it has decimals, empty with a fault when the text is not
    // a number; control characters as blanks and invalid UTF-8 as U+FFFD; empty when longer
    // than MaxValueBytes.
    void Read(QByteArrayView payload, std::vector<MqttValue>& values) const;

    // One step of a json= path: a key of an object, which also names a position in an array
    // when it is a whole number.
    struct Step {
        QString key;
        QByteArray keyUtf8;
        int index = 0;
        bool isIndex = false;
    };

private:
    struct Tag {
        std::vector<Step> path; // empty: the whole payload
        int decimals = -1;
        double scale = 1;
        double offset = 0;
    };
    std::vector<Tag> tags_;
    std::vector<size_t> jsonTags_; // the tags with a path
};

// The value of a single tag for `payload`, as MqttTopicReader reads it.
MqttValue MqttTagValue(const MqttTag& tag, QByteArrayView payload);

} // namespace gateway
