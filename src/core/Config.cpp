#include "core/Config.h"
