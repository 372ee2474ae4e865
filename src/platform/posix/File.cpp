#include "platform/File.h"
