// lstconvert: binds the report projects of the current directory to the
// table Partlist.
#include <string>
#include <vector>

#include "app/arguments.h"
#include "app/batch.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  const auto platform = lstconvert::CreatePlatform(argc, argv);
  if (argc > 1) {
    return lstconvert::AnswerArguments(*platform, std::vector<std::string>(argv + 1, argv + argc));
  }
  return lstconvert::RunBatch(*platform);
}
