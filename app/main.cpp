// lstconvert: binds report projects to the table Partlist, those of the
// current directory or of the folders and files it is given.
#include <cstdio>
#include <new>
#include <system_error>

#include "app/arguments.h"
#include "app/batch.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  // A project's conversion handles its own want of memory. Memory, or a
  // thread or lock of the runtime, that runs out anywhere else ends the run
  // with a line and status 3 instead of an abort. A project is replaced
  // whole or not at all, so those not reached, and any whose replacement had
  // not ended, are left as they were.
  try {
    const auto platform = lstconvert::CreatePlatform(argc, argv);
    const lstconvert::Request request = lstconvert::ReadArguments(platform->Arguments());
    if (request.action != lstconvert::Request::Action::kConvert) {
      return lstconvert::AnswerArguments(*platform, request);
    }
    return lstconvert::RunBatch(*platform, request);
  } catch (const std::bad_alloc&) {
  } catch (const std::system_error&) {
  }
  std::fputs(
      "lstconvert: not enough memory: the run stopped; what it had not reached is as it was\n",
      stderr);
  return 3;
}
