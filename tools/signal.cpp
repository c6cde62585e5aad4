// Placeholder until the generator lands.
#include "signal.hpp"
