// interlace-decoder: the confined process in which the image library reads
// views. The run starts it (decoder_program.h); it is not for people to call.

#include "decoder/decoder_process.h"
#include "decoder/decoder_program.h"

int main() { interlace::run_decoder_process(interlace::kDecoderChannelFd); }
