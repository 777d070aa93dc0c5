#include "battery2v_32/provider.h"

#include "battery2v_32/battery2v_32.h"

PXHSPDevice* Battery2V32Provider::create() const {
  return new Battery2V32();
}
