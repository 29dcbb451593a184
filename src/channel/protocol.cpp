#include "channel/protocol.h"

#include <cstring>

namespace interlace {

namespace {

enum class Answer : std::uint64_t { Decoded = 1, Refused = 2, OutputsUnmade = 3, Claim = 4 };

constexpr std::uint64_t kReady = 0x6964616572;  // "ready"

constexpr unsigned kPaletteEntries = 256;

MessageWriter& put_size(MessageWriter& message, const ViewSize& size) {
  return message.put_signed(size.width).put_signed(size.height);
}

// Sizes come back as 64-bit fields; anything outside an int's range is
// nonsense in itself.
bool get_size(MessageReader& message, ViewSize& size) {
  const std::int64_t width = message.get_signed(), height = message.get_signed();
  if (width < 1 || height < 1 || width > INT32_MAX || height > INT32_MAX) return false;
  size = {static_cast<int>(width), static_cast<int>(height)};
  return true;
}

std::uint64_t pixel_bytes(FIBITMAP* bitmap) {
  return std::uint64_t{FreeImage_GetPitch(bitmap)} * FreeImage_GetHeight(bitmap);
}

[[noreturn]] void nonsense() { refuse_view(ViewProblemKind::DecoderNonsense); }

// A bitmap of the size the request implies, filled from the channel. Its
// pitch is the run's own library's, which the decoder's must match.
Bitmap receive_pixels(Channel& channel, int width, int height, unsigned bits, std::uint64_t announced_pitch,
                      bool& broke) {
  Bitmap bitmap(FreeImage_Allocate(width, height, static_cast<int>(bits)));
  if (!bitmap || FreeImage_GetBits(bitmap.get()) == nullptr) fail_output();
  if (FreeImage_GetPitch(bitmap.get()) != announced_pitch) nonsense();
  broke = !channel.receive_block(FreeImage_GetBits(bitmap.get()), pixel_bytes(bitmap.get()));
  return bitmap;
}

std::optional<DecodedView> receive_decoded(Channel& channel, MessageReader& message, const DecodeRequest& request,
                                           std::uint64_t most_pixels) {
  DecodedView decoded;
  decoded.format = message.get_string();
  decoded.stored_bits = static_cast<unsigned>(message.get());
  decoded.conversion = message.get_string();
  decoded.profile = message.get_string();
  if (!get_size(message, decoded.size)) nonsense();
  const std::uint64_t strip_pitch = message.get(), page_pitch = message.get();
  RGBQUAD palette[kPaletteEntries];
  message.get_bytes(palette, sizeof palette);
  const ViewSize size = decoded.size;
  const int page_height = preview_page_height(size.width, size.height);
  if (message.broken() || (request.expected && !(size == *request.expected)) || size.width < request.view_count ||
      page_height == 0 || print_image_file_bytes(size) > UINT32_MAX ||
      std::uint64_t(size.width) * std::uint64_t(size.height) > most_pixels) {
    nonsense();
  }
  bool broke = false;
  decoded.strip = receive_pixels(channel, size.width / request.view_count, size.height, 24, strip_pitch, broke);
  if (broke) return std::nullopt;
  decoded.page = receive_pixels(channel, kPreviewWidth, page_height, 8, page_pitch, broke);
  if (broke) return std::nullopt;
  std::memcpy(FreeImage_GetPalette(decoded.page.get()), palette, sizeof palette);
  return decoded;
}

[[noreturn]] void receive_refused(MessageReader& message) {
  ViewProblem problem;
  const std::uint64_t kind = message.get();
  problem.file_bytes = message.get();
  problem.needed_bytes = message.get();
  problem.pixels = message.get();
  problem.width = message.get_signed();
  problem.height = message.get_signed();
  problem.expected_width = message.get_signed();
  problem.expected_height = message.get_signed();
  problem.message = message.get_string();
  problem.format = message.get_string();
  if (message.broken() || kind > static_cast<std::uint64_t>(kLastViewProblemKind)) nonsense();
  problem.kind = static_cast<ViewProblemKind>(kind);
  refuse_view(problem);
}

}  // namespace

MessageWriter request_message(const std::string& name, const DecodeRequest& request) {
  MessageWriter message;
  message.put(name).put_signed(request.view_count).put(std::uint64_t{request.last}).put(std::uint64_t{request.first});
  message.put(std::uint64_t{request.expected.has_value()});
  return put_size(message, request.expected.value_or(ViewSize{}));
}

bool read_request(MessageReader& message, std::string& name, DecodeRequest& request) {
  name = message.get_string();
  const std::int64_t view_count = message.get_signed();
  request.last = message.get() != 0;
  request.first = message.get() != 0;
  const bool expected = message.get() != 0;
  ViewSize size;
  const bool sized = get_size(message, size);
  if (message.broken() || view_count < 1 || view_count > INT32_MAX || (expected && !sized)) return false;
  request.view_count = static_cast<int>(view_count);
  if (expected) request.expected = size;
  return true;
}

bool send_decoded(Channel& channel, const DecodedView& decoded) {
  MessageWriter message;
  message.put(static_cast<std::uint64_t>(Answer::Decoded)).put(decoded.format).put(std::uint64_t{decoded.stored_bits});
  message.put(decoded.conversion).put(decoded.profile);
  put_size(message, decoded.size);
  message.put(std::uint64_t{FreeImage_GetPitch(decoded.strip.get())}).put(std::uint64_t{FreeImage_GetPitch(decoded.page.get())});
  RGBQUAD palette[kPaletteEntries] = {};
  std::memcpy(palette, FreeImage_GetPalette(decoded.page.get()),
              sizeof(RGBQUAD) * std::min(kPaletteEntries, FreeImage_GetColorsUsed(decoded.page.get())));
  message.put_bytes(palette, sizeof palette);
  return channel.send(message) &&
         channel.send_block(FreeImage_GetBits(decoded.strip.get()), pixel_bytes(decoded.strip.get())) &&
         channel.send_block(FreeImage_GetBits(decoded.page.get()), pixel_bytes(decoded.page.get()));
}

bool send_refused(Channel& channel, const ViewProblem& p) {
  MessageWriter message;
  message.put(static_cast<std::uint64_t>(Answer::Refused)).put(static_cast<std::uint64_t>(p.kind));
  message.put(p.file_bytes).put(p.needed_bytes).put(p.pixels);
  message.put_signed(p.width).put_signed(p.height).put_signed(p.expected_width).put_signed(p.expected_height);
  message.put(p.message).put(p.format);
  return channel.send(message);
}

bool send_outputs_unmade(Channel& channel, const std::optional<ViewSize>& size) {
  MessageWriter message;
  message.put(static_cast<std::uint64_t>(Answer::OutputsUnmade)).put(std::uint64_t{size.has_value()});
  return channel.send(put_size(message, size.value_or(ViewSize{})));
}

bool send_ready(Channel& channel) { return channel.send(MessageWriter().put(kReady)); }

bool receive_ready(Channel& channel) {
  std::optional<MessageReader> message = channel.receive(kMostMessageBytes);
  return message && message->get() == kReady && !message->broken();
}

bool send_claim(Channel& channel, std::uint64_t pixels) {
  return channel.send(MessageWriter().put(static_cast<std::uint64_t>(Answer::Claim)).put(pixels));
}

std::optional<DecodedView> receive_answer(Channel& channel, const DecodeRequest& request,
                                          const std::function<void(std::uint64_t)>& claimed,
                                          std::uint64_t most_pixels) {
  std::optional<MessageReader> message = channel.receive(kMostMessageBytes);
  if (!message) return std::nullopt;
  auto answer = static_cast<Answer>(message->get());
  // One claim at most, before the answer.
  if (answer == Answer::Claim) {
    const std::uint64_t pixels = message->get();
    if (message->broken()) nonsense();
    if (claimed) claimed(pixels);
    message = channel.receive(kMostMessageBytes);
    if (!message) return std::nullopt;
    answer = static_cast<Answer>(message->get());
  }
  switch (answer) {
    case Answer::Claim: nonsense();
    case Answer::Decoded: return receive_decoded(channel, *message, request, most_pixels);
    case Answer::Refused: receive_refused(*message);
    case Answer::OutputsUnmade: {
      const bool sized = message->get() != 0;
      ViewSize size;
      const bool size_ok = get_size(*message, size);
      if (message->broken() || (sized && !size_ok)) nonsense();
      throw OutputsUnmade(sized ? std::optional<ViewSize>(size) : std::nullopt);
    }
  }
  nonsense();
}

}  // namespace interlace
