// What the run and its decoder say to each other. A request names the view
// (its descriptor travels with it) and what the run expects of it; an answer
// is a decoded view, whose strip and page pixels follow as raw blocks, or
// the reason there is none. The run checks every answer against its
// request: a decoder is not trusted to answer sense.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "channel/channel.h"
#include "channel/decoded_view.h"
#include "view_problem.h"

namespace interlace {

// The descriptor the decoder program finds its channel on.
constexpr int kDecoderChannelFd = 3;
// The decoder program's exit status when the kernel refused to confine it
// (it decodes nothing unconfined), and when it couldn't be started.
constexpr int kDecoderNotConfined = 71;
constexpr int kDecoderNotStarted = 72;

// Longer messages are refused: a request or an answer is a few hundred bytes
// and a palette.
constexpr std::size_t kMostMessageBytes = std::size_t{1} << 20;

MessageWriter request_message(const std::string& name, const DecodeRequest& request);
// False for a request that doesn't parse.
bool read_request(MessageReader& message, std::string& name, DecodeRequest& request);

// The decoder's first message, once it is confined.
bool send_ready(Channel& channel);
// False when the decoder ended, or said something else, before it.
bool receive_ready(Channel& channel);

// Each false when the run is gone.
// How many pixels the view's header claims, once the tool's checks let it
// through: the run gives the decoder time in proportion.
bool send_claim(Channel& channel, std::uint64_t pixels);
bool send_decoded(Channel& channel, const DecodedView& decoded);
bool send_refused(Channel& channel, const ViewProblem& problem);
bool send_outputs_unmade(Channel& channel, const std::optional<ViewSize>& size);

// The answer to `request`: the decoded view, or empty when the channel
// broke. Throws ViewRefused or OutputsUnmade as the decoder answered, and
// ViewRefused (DecoderNonsense) for an answer that doesn't fit the request.
// Claims that come first are handed to `claimed`. A view of more than
// `most_pixels` is nonsense, refused before the run sets memory aside for it.
std::optional<DecodedView> receive_answer(Channel& channel, const DecodeRequest& request,
                                          const std::function<void(std::uint64_t)>& claimed = {},
                                          std::uint64_t most_pixels = UINT64_MAX);

}  // namespace interlace
