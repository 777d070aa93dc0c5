// Preprocessed only: the declarations that the check reads for the test library.
#include "tests/c_interfaces/fixture.h"
