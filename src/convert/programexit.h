#pragma once

// How both programs and the test programs end once their work is done and every object of
// theirs is gone (the application object last, which drains Qt's thread pool): main returns
// ProgramExit::leave(status). Buffered standard output and error are written out first.
namespace ProgramExit {
int leave(int status);
}
