#include "imagepath/tests/fake_medium.h"
