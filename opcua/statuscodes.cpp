#include "statuscodes.h"
