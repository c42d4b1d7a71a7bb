#include "sm4.h"
