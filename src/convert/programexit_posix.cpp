#include "convert/programexit.h"

// An ordinary return from main: static destructors and the sanitizers' exit checks run.
int ProgramExit::leave(int status)
{
    return status;
}
