#pragma once
// The hub reader: sends one request to the demo hub (or any hub speaking wire protocol v1)
// over the local endpoint or TCP and returns the answer text, "" on any failure.

#include "hub/IHubReader.h"

#include <QByteArray>
#include <QString>
#include <QStringView>
#include <memory>
#include <optional>

namespace hubreader {

// Local endpoint name the reader uses for "HUB:" requests unless told otherwise.
inline constexpr auto DefaultLocalName = "svcorblex-hub";
// Longest time one request may take, connection included.
inline constexpr int DefaultTimeoutMs = 5000;

// Where a request goes and what it asks.
struct Target {
    enum class Kind { Local, Tcp };
    Kind kind = Kind::Local;
    QString host;       // TCP only: name or address, without brackets
    quint16 port = 0;   // TCP only
    QByteArray command; // UTF-8 command word, without LF

    // Identifies the connection the request needs; equal keys share one connection.
    QString ConnectionKey() const;
};

// Splits "HUB:" + command or "TCP:" + address + ":" + port + "!" + command. The address is
// split from the port at the last ":" before the first "!", so IPv6 addresses work with or
// without [brackets]; blanks around the address are ignored. The port text may be any number
// (blanks, a fraction, an exponent) and is rounded to the nearest whole number, halves to even.
// Returns nullopt with `why` set when the request cannot be sent.
std::optional<Target> ParseRequest(const QString& request, QString* why = nullptr);

// The port a port text stands for: its numeric value rounded half to even; nullopt when the
// text is not a number or the result is outside 1..65535.
std::optional<quint16> RoundPortText(QStringView text);

} // namespace hubreader

class SVComSrvClass : public IHubReader {
public:
    SVComSrvClass();
    explicit SVComSrvClass(const QString& localName);
    ~SVComSrvClass() override;
    SVComSrvClass(const SVComSrvClass&) = delete;
    SVComSrvClass& operator=(const SVComSrvClass&) = delete;

    void SetSilent(bool silent) override { silent_ = silent; }
    bool Silent() const override { return silent_; }
    QString ReadInputFile(const QString& request) override;

    // Longest time one request may take, in milliseconds.
    void SetTimeoutMs(int ms) { timeoutMs_ = ms; }

private:
    class Connection;

    void Explain(const QString& request, const QString& why) const;

    QString localName_;
    int timeoutMs_ = hubreader::DefaultTimeoutMs;
    bool silent_ = false;
    std::unique_ptr<Connection> connection_;
};
