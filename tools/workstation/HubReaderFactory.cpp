#include "HubReaderFactory.h"

namespace {

// Answers "" to every request, so every linked value shows empty.
class EmptyHubReader : public IHubReader {
public:
    void SetSilent(bool silent) override { silent_ = silent; }
    bool Silent() const override { return silent_; }
    QString ReadInputFile(const QString&) override { return {}; }

private:
    bool silent_ = true;
};

} // namespace

std::unique_ptr<IHubReader> MakeHubReader() {
    // TODO: use SVComSrvClass once merged
    return std::make_unique<EmptyHubReader>();
}
