// The Connect page: checks the connection inputs, builds the request prefix, fetches the
// hub's tag list into a fresh tag collection and remembers the connection settings. What it
// accepts goes into the window's state.

#include "app/frmSVCorblexAppGen.h"

#include "app/SamplingEngine.h"
#include "hub/Answers.h"
#include "hub/HubRequest.h"
#include "model/Numeric.h"

#include <QLineEdit>
#include <QRadioButton>
#include <cmath>
#include <limits>

namespace {

// The whole number a numeric text stands for, rounded half to even and held within the
// 32-bit range, so that a huge entry reads as out of range rather than overflowing.
std::optional<qint32> WholeNumber(const QString& text) {
    if (!numeric::IsNumeric(text))
        return std::nullopt;
    const std::optional<double> value = numeric::ParseNumber(text);
    double v;
    if (value)
        v = numeric::RoundHalfEven(*value);
    else // numeric, but beyond what a double holds
        v = text.trimmed().startsWith(QLatin1Char('-')) ? -HUGE_VAL : HUGE_VAL;
    if (v >= double(std::numeric_limits<qint32>::max()))
        return std::numeric_limits<qint32>::max();
    if (v <= double(std::numeric_limits<qint32>::min()))
        return std::numeric_limits<qint32>::min();
    return static_cast<qint32>(v);
}

} // namespace

void frmSVCorblexAppGen::LeaveConnectPage(bool& ok) {
    ok = false;
    const auto refuse = [this](QLineEdit* box, const QString& text) {
        box->setFocus();
        Message(MessageIcon::Exclamation, text);
    };

    // The sample rate; text that is not a number keeps the rate in force.
    const QString rateText = txtSampleRate->text();
    if (const auto rate = WholeNumber(rateText.trimmed()))
        state_.sampleRateMs = *rate;
    if (state_.sampleRateMs < 100 || state_.sampleRateMs > 32000) {
        refuse(txtSampleRate, QStringLiteral("Invalid Sample Rate specified!"));
        return;
    }

    // The remote connection's address and port, each exactly as typed.
    const bool direct = optConnectMethod[0]->isChecked();
    const QString address = txtTCPaddress->text();
    const QString port = txtTCPport->text();
    if (!direct) {
        if (address.isEmpty()) {
            refuse(txtTCPaddress, QStringLiteral("A TCP Address must be specified!"));
            return;
        }
        if (port.isEmpty()) {
            refuse(txtTCPport, QStringLiteral("A TCP Port must be specified!"));
            return;
        }
        if (!numeric::IsNumeric(port)) {
            refuse(txtTCPport, QStringLiteral("TCP Port must be numeric!"));
            return;
        }
        const std::optional<double> value = numeric::ParseNumber(port);
        if (!value || *value < 1000 || *value > 32000) {
            refuse(txtTCPport, QStringLiteral("TCP Port is invalid!"));
            return;
        }
    }

    // Remember the connection and build the request prefix from it.
    state_.tcpAddress = address;
    state_.tcpPort = WholeNumber(port).value_or(0);
    state_.hubPrefix = hubrequest::MakePrefix(direct, address, port);

    // Fetch the tag list into a fresh collection, every tag starting as a one-digit whole
    // number with no value. The new collection replaces the old one whether or not the fetch
    // works, and nothing is laid out for it yet; a sample still running on the old one ends.
    QString answer;
    {
        BusyScope busy(*services_.busyPointer);
        sampler_->End();
        state_.tags = std::make_shared<TagItems>();
        state_.layoutOrder.reset();
        answer = AskHub(hubrequest::GetTags);
        // The window was closed while the hub was being asked: nothing more to do or say.
        if (unloaded_)
            return;
        const QStringList names = answers::SplitTagList(answer);
        state_.tags->Reserve(static_cast<qint32>(names.size()));
        for (const QString& name : names) {
            TagItem& tag = *state_.tags->Add(name);
            tag.SetFieldType(QStringLiteral("N"));
            tag.SetLength(1);
            tag.SetDecimals(0);
            tag.SetIntegers(1);
            tag.SetSelected(false);
            tag.SetValue(QString());
        }
    }

    // No answer: the hub is unreachable. Otherwise sampling starts from zero and the
    // connection settings are stored.
    if (answer.isEmpty()) {
        Message(MessageIcon::Exclamation, QStringLiteral("Connection Failed!"));
        return;
    }
    SampleCount_ = 0;
    ok = true;
    const QString section = QStringLiteral("Settings");
    ConfigWriteValue(section, QStringLiteral("Method"),
                     direct ? QStringLiteral("0") : QStringLiteral("1"));
    ConfigWriteValue(section, QStringLiteral("Address"), address);
    ConfigWriteValue(section, QStringLiteral("Port"), port);
    ConfigWriteValue(section, QStringLiteral("SampleRate"), rateText);
}
