#include "br2utils.h"
