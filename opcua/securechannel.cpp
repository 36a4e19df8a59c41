#include "securechannel.h"
