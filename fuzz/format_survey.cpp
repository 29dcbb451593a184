// format_survey: mutation fuzzing of every format the image library reads,
// each decode in a child process, to find the decoders that crash or hang on
// malformed files. Its findings decide which formats the tool refuses.
//
//   format_survey OUTDIR SECONDS_PER_FORMAT [FORMAT ...]
//   format_survey --load FORMAT FILE     decode one file (for valgrind)
//
// Each input first meets the checks the tool makes before decoding (length,
// header size, decompression bombs); what they refuse never reaches the
// decoder, as in the tool. With INTERLACE_SURVEY_RAW set in the environment
// every input goes to the decoder. Prints one line a format: executions,
// refusals, crashes, hangs. Crashing and hanging inputs are kept in
// OUTDIR/crashes.

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "exit_status.h"
#include "decoder/view_checks.h"
#include "seeds.h"

namespace {

using fuzz::Bytes;

constexpr unsigned kDecodeSeconds = 5;
constexpr rlim_t kChildMemory = rlim_t{4} << 30;

Bytes mutate(const std::vector<Bytes>& seeds, const std::vector<Bytes>& others, std::mt19937& random) {
  Bytes b = seeds[random() % seeds.size()];
  const int rounds = 1 + static_cast<int>(random() % 3);
  for (int r = 0; r < rounds && !b.empty(); ++r) {
    const std::size_t at = random() % b.size();
    switch (random() % 6) {
      case 0:  // flip bits
        for (int i = 0, n = 1 + static_cast<int>(random() % 8); i < n; ++i)
          b[random() % b.size()] ^= static_cast<unsigned char>(1u << (random() % 8));
        break;
      case 1: {  // an extreme value where a header field may be
        static const unsigned char extremes[] = {0x00, 0xff, 0x7f, 0x80, 0x01, 0xfe};
        for (std::size_t i = at; i < b.size() && i < at + 1 + random() % 4; ++i) b[i] = extremes[random() % 6];
        break;
      }
      case 2:  // cut short
        b.resize(at);
        break;
      case 3: {  // splice another file's tail
        const Bytes& other = others[random() % others.size()];
        if (!other.empty()) {
          b.resize(at);
          b.insert(b.end(), other.begin() + static_cast<long>(random() % other.size()), other.end());
        }
        break;
      }
      case 4: {  // repeat a chunk
        const std::size_t length = std::min<std::size_t>(b.size() - at, 1 + random() % 64);
        const Bytes chunk(b.begin() + static_cast<long>(at), b.begin() + static_cast<long>(at + length));
        b.insert(b.begin() + static_cast<long>(at), chunk.begin(), chunk.end());
        break;
      }
      default:  // random bytes
        for (std::size_t i = at; i < b.size() && i < at + 1 + random() % 16; ++i)
          b[i] = static_cast<unsigned char>(random());
    }
  }
  return b;
}

constexpr int kRefused = 3;

// What the tool does with a view, on the library's side.
int decode(FREE_IMAGE_FORMAT format, const char* path) {
  if (std::getenv("INTERLACE_SURVEY_RAW") == nullptr) {
    try {
      interlace::ViewFile view(path, format);
      interlace::check_before_decoding(view, std::nullopt, 1);
    } catch (const interlace::Failure&) {
      return kRefused;
    }
  }
  FIBITMAP* view = FreeImage_Load(format, path, 0);
  if (view == nullptr) return 2;
  FIBITMAP* converted = FreeImage_ConvertTo24Bits(view);
  if (converted != nullptr && FreeImage_GetWidth(converted) > 0) {
    const int width = static_cast<int>(FreeImage_GetWidth(converted));
    const int height = static_cast<int>(FreeImage_GetHeight(converted));
    FIBITMAP* strip = FreeImage_Rescale(converted, 1 + width / 2, height, FILTER_BSPLINE);
    FreeImage_Unload(strip);
  }
  FreeImage_Unload(converted);
  FreeImage_Unload(view);
  return 0;
}

Bytes read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Seeds are made in a child process per format: some of the library's
// writers corrupt the heap, and the survey must not inherit that.
std::vector<Bytes> seeds_of(FREE_IMAGE_FORMAT format, const std::string& outdir) {
  const std::string prefix = outdir + "/seed-" + FreeImage_GetFormatFromFIF(format) + "-";
  const pid_t child = fork();
  if (child == 0) {
    const std::vector<Bytes> seeds = fuzz::make_seeds(format);
    for (std::size_t i = 0; i < seeds.size(); ++i) fuzz::write_file(prefix + std::to_string(i), seeds[i]);
    _exit(0);
  }
  waitpid(child, nullptr, 0);
  std::vector<Bytes> seeds;
  for (int i = 0;; ++i) {
    const std::string path = prefix + std::to_string(i);
    if (access(path.c_str(), F_OK) != 0) break;
    seeds.push_back(read_bytes(path));
    std::remove(path.c_str());
  }
  return seeds;
}

enum class Outcome { Clean, Refused, Crash, Hang };

Outcome decode_in_child(FREE_IMAGE_FORMAT format, const std::string& path) {
  const pid_t child = fork();
  if (child == 0) {
    // Some decoders (libtiff's among them) print their complaints.
    const int null_device = open("/dev/null", O_WRONLY);
    dup2(null_device, STDERR_FILENO);
    dup2(null_device, STDOUT_FILENO);
    const rlimit memory{kChildMemory, kChildMemory};
    setrlimit(RLIMIT_AS, &memory);
    alarm(kDecodeSeconds);
    _exit(decode(format, path.c_str()));
  }
  int status = 0;
  waitpid(child, &status, 0);
  if (WIFEXITED(status)) return WEXITSTATUS(status) == kRefused ? Outcome::Refused : Outcome::Clean;
  return WTERMSIG(status) == SIGALRM ? Outcome::Hang : Outcome::Crash;
}

void survey(FREE_IMAGE_FORMAT format, const std::vector<Bytes>& seeds, const std::string& outdir,
            double seconds, const std::vector<Bytes>& everything) {
  const char* name = FreeImage_GetFormatFromFIF(format);
  if (seeds.empty()) {
    std::printf("%-8s no seed\n", name);
    return;
  }
  std::mt19937 random(static_cast<unsigned>(format) * 7919u + 1);
  const std::string input = outdir + "/input-" + name;
  long executions = 0, refusals = 0, crashes = 0, hangs = 0;
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < end) {
    const Bytes bytes = mutate(seeds, everything, random);
    fuzz::write_file(input, bytes);
    const Outcome outcome = decode_in_child(format, input);
    ++executions;
    refusals += outcome == Outcome::Refused;
    if (outcome == Outcome::Clean || outcome == Outcome::Refused) continue;
    (outcome == Outcome::Crash ? crashes : hangs) += 1;
    const long kept = crashes + hangs;
    if (kept <= 20) {
      fuzz::write_file(outdir + "/crashes/" + name + (outcome == Outcome::Crash ? "-crash-" : "-hang-") +
                      std::to_string(kept),
                  bytes);
    }
  }
  std::remove(input.c_str());
  std::printf("%-8s seeds=%zu%s executions=%ld refused=%ld crashes=%ld hangs=%ld\n", name, seeds.size(),
              fuzz::has_real_seeds(format) ? "" : "(signature+noise)", executions, refusals, crashes, hangs);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--load") == 0) {
    return decode(FreeImage_GetFIFFromFormat(argv[2]), argv[3]);
  }
  if (argc < 3) {
    std::fprintf(stderr, "usage: format_survey OUTDIR SECONDS_PER_FORMAT [FORMAT ...]\n");
    return 1;
  }
  const std::string outdir = argv[1];
  mkdir(outdir.c_str(), 0755);
  mkdir((outdir + "/crashes").c_str(), 0755);
  std::vector<FREE_IMAGE_FORMAT> formats;
  for (int i = 3; i < argc; ++i) formats.push_back(FreeImage_GetFIFFromFormat(argv[i]));
  if (formats.empty()) {
    for (int i = 0; i < FreeImage_GetFIFCount(); ++i) {
      const auto format = static_cast<FREE_IMAGE_FORMAT>(i);
      if (FreeImage_FIFSupportsReading(format)) formats.push_back(format);
    }
  }
  std::vector<std::vector<Bytes>> seeds;
  std::vector<Bytes> everything;
  for (int i = 0; i < FreeImage_GetFIFCount(); ++i) {
    seeds.push_back(seeds_of(static_cast<FREE_IMAGE_FORMAT>(i), outdir));
    everything.insert(everything.end(), seeds.back().begin(), seeds.back().end());
  }
  for (const FREE_IMAGE_FORMAT format : formats) {
    survey(format, seeds[static_cast<std::size_t>(format)], outdir, std::atof(argv[2]), everything);
  }
  return 0;
}
