// interlace-decoder: the confined process in which the image library reads
// views. The run starts it (decoding/decoder_program.h); it is not for people
// to call.

#include "decoder/decoder_process.h"

int main() { interlace::run_decoder_process(interlace::kDecoderChannelFd); }
