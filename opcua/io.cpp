#include "io.h"
