#include "host/provider.h"

Provider::~Provider() = default;
PXHSPDeviceProvider::~PXHSPDeviceProvider() = default;
