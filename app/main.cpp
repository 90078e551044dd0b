// lstconvert: binds report projects to the table Partlist, those of the
// current directory or of the folders and files it is given.
#include "app/arguments.h"
#include "app/batch.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  const auto platform = lstconvert::CreatePlatform(argc, argv);
  const lstconvert::Request request = lstconvert::ReadArguments(platform->Arguments());
  if (request.action != lstconvert::Request::Action::kConvert) {
    return lstconvert::AnswerArguments(*platform, request);
  }
  return lstconvert::RunBatch(*platform, request);
}
