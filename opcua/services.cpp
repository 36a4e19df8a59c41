#include "services.h"
