#include "HubReaderFactory.h"

#include "hub/HubReader.h"

std::unique_ptr<SVComSrvClass> MakeHubReader() {
    return std::make_unique<SVComSrvClass>();
}
