#include "HubReaderFactory.h"

#include "hub/HubReader.h"

std::unique_ptr<IHubReader> MakeHubReader() {
    return std::make_unique<SVComSrvClass>();
}
