// The I/O floor of a durable, atomic, backed-up in-place rewrite, for
// bench/run to compare lstconvert with: for each "*.lst" of the current
// directory, read it once, write its bytes to a new file beside it, flush
// that, make the original the backup by linking it to "<name>.bak", and
// rename the new file over the original. No conversion work at all.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

int main() {
  std::vector<std::string> names;
  DIR* directory = opendir(".");
  if (directory == nullptr) return 1;
  while (const dirent* entry = readdir(directory)) {
    const std::string name = entry->d_name;
    if (name.size() >= 4 && name.compare(name.size() - 4, 4, ".lst") == 0) names.push_back(name);
  }
  closedir(directory);
  for (const std::string& name : names) {
    const int in = open(name.c_str(), O_RDONLY);
    struct stat status {};
    if (in < 0 || fstat(in, &status) != 0) return 1;
    std::string bytes(static_cast<std::size_t>(status.st_size), '\0');
    if (read(in, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) return 1;
    close(in);
    char temporary[] = ".floor-XXXXXX";
    const int out = mkstemp(temporary);
    if (out < 0 || write(out, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()) ||
        fsync(out) != 0 || close(out) != 0) {
      return 1;
    }
    const std::string link = ".floor-link-" + name;
    if (::link(name.c_str(), link.c_str()) != 0 || rename(link.c_str(), (name + ".bak").c_str()) ||
        rename(temporary, name.c_str()) != 0) {
      return 1;
    }
  }
  return 0;
}
