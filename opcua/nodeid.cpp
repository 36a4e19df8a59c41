#include "nodeid.h"
