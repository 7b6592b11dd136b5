// The picture's shape from any bytes a stream might carry: the three sequence-header parsers on
// the input as one unit, and the transport-stream watch on the input in two pieces. A shape that
// comes out is one a picture can have: visible within coded, coded within the codecs' bounds, a
// sample aspect with no zero in it.
#include "VideoShape.h"

#include <cstdlib>
#include <vector>

namespace {

void Check(const std::optional<fastzap::VideoShape>& shape)
{
    if (!shape)
        return;
    if (shape->width == 0 || shape->height == 0 || shape->width > shape->codedWidth ||
        shape->height > shape->codedHeight || shape->codedWidth > 16888 ||
        shape->codedHeight > 16888 || shape->sarNum == 0 || shape->sarDen == 0)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::span<const std::uint8_t> bytes(data, size);
    Check(fastzap::ParseH264Sps(bytes));
    Check(fastzap::ParseH265Sps(bytes));
    const std::size_t third = size / 3;
    Check(fastzap::ParseMpeg2Sequence(bytes.first(third), bytes.subspan(third, third),
                                      bytes.subspan(2 * third)));
    fastzap::TsShapeWatch watch;
    std::vector<fastzap::VideoShape> shapes;
    const std::size_t half = size / 2;
    watch.Push(bytes.first(half), shapes);
    watch.Push(bytes.subspan(half), shapes);
    for (const fastzap::VideoShape& shape : shapes)
        Check(shape);
    return 0;
}
