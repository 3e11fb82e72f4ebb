#pragma once
// Creates the hub reader through which sv6.exe polls the values of its variables.

#include "hub/HubReader.h"

#include <memory>

std::unique_ptr<SVComSrvClass> MakeHubReader();
