#include "Faults.h"

#include "base/Log.h"
#include "gateway/Session.h"
#include "hub/Framing.h"

#include <QTimer>

namespace hubfaults {

namespace {

// How late the "slow" fault answers.
constexpr int SlowAnswerMs = 1000;

// Sends the bytes given to a session one at a time.
class Drip : public QObject {
public:
    static constexpr const char* Name = "drip";

    Drip(gateway::Session& session, int intervalMs) : QObject(&session), session_(session) {
        setObjectName(QLatin1String(Name));
        connect(&timer_, &QTimer::timeout, this, [this] {
            if (bytes_.isEmpty())
                return timer_.stop();
            session_.Send(bytes_.left(1));
            bytes_.remove(0, 1);
        });
        timer_.setInterval(intervalMs);
    }
    void Add(const QByteArray& bytes) {
        bytes_.append(bytes);
        if (!timer_.isActive())
            timer_.start();
    }

private:
    gateway::Session& session_;
    QByteArray bytes_;
    QTimer timer_;
};

class FaultResponder : public gateway::Responder {
public:
    FaultResponder(Fault fault, int periodMs) : fault_(fault), periodMs_(periodMs) {}

    void Respond(gateway::Session& session, const QByteArray& command,
                 const QByteArray& answer) override {
        QByteArray body = answer;
        switch (fault_) {
        case Fault::None:
        case Fault::Flap:
            session.Send(hubwire::EncodeAnswer(body));
            return;
        case Fault::Stall:
            return;
        case Fault::Slow:
            // Later answers queue behind earlier ones, so the order of the answers holds.
            QTimer::singleShot(SlowAnswerMs, &session,
                               [&session, body] { session.Send(hubwire::EncodeAnswer(body)); });
            return;
        case Fault::Drip: {
            // One drip per session, found again by its name (it has no meta-object of its own).
            auto* drip = static_cast<Drip*>(
                session.findChild<QObject*>(QLatin1String(Drip::Name), Qt::FindDirectChildrenOnly));
            if (!drip)
                drip = new Drip(session, std::max(1, periodMs_ / 100));
            drip->Add(hubwire::EncodeAnswer(body));
            return;
        }
        case Fault::Close:
            session.Send(hubwire::EncodeHeader(body.size()) + body.left(body.size() / 2));
            session.CloseSoon();
            return;
        case Fault::Garbage:
            session.Send(QByteArrayLiteral("OK, here it comes\n") + body);
            return;
        case Fault::Oversize:
            session.Send(QByteArrayLiteral("99999999999\n") + body);
            return;
        case Fault::Mismatch:
            if (command == "GETVALUES") {
                const qsizetype lastTab = body.lastIndexOf('\t');
                body = lastTab < 0 ? QByteArray() : body.left(lastTab);
                if (!body.isEmpty())
                    body.prepend("Renamed ");
            }
            session.Send(hubwire::EncodeAnswer(body));
            return;
        case Fault::NoStatus:
            session.Send(hubwire::EncodeAnswer(command == "GETSTATUS" ? QByteArray() : body));
            return;
        }
    }

private:
    Fault fault_;
    int periodMs_;
};

} // namespace

std::optional<Fault> ParseFault(QStringView text) {
    static const std::pair<const char*, Fault> names[] = {
        {"none", Fault::None},         {"stall", Fault::Stall},       {"slow", Fault::Slow},
        {"drip", Fault::Drip},         {"close", Fault::Close},       {"garbage", Fault::Garbage},
        {"oversize", Fault::Oversize}, {"mismatch", Fault::Mismatch}, {"flap", Fault::Flap},
        {"nostatus", Fault::NoStatus}};
    for (const auto& [name, fault] : names)
        if (text.compare(QLatin1String(name), Qt::CaseInsensitive) == 0)
            return fault;
    return std::nullopt;
}

void Install(gateway::HubServer& server, Fault fault, int periodMs) {
    if (fault == Fault::None)
        return;
    server.SetResponder(std::make_unique<FaultResponder>(fault, periodMs));
    if (fault != Fault::Flap)
        return;
    auto* flap = new QTimer(&server);
    QObject::connect(flap, &QTimer::timeout, &server, [&server] {
        if (!server.Suspended()) {
            logging::Notice(QStringLiteral("going down (fault flap)"));
            server.Suspend();
            return;
        }
        QString error;
        if (server.Resume(&error))
            logging::Notice(QStringLiteral("back up (fault flap)"));
        else
            logging::Error(error);
    });
    flap->start(periodMs);
}

} // namespace hubfaults
