#include "host/provider.h"

Provider::~Provider() = default;
