#include "engine/streamplayer.h"

namespace orvane {

StreamPlayer::~StreamPlayer() = default;

} // namespace orvane
