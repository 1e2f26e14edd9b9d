#include "numbers/StateFile.h"
