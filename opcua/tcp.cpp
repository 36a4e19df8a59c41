#include "tcp.h"
