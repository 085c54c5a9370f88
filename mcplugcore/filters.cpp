// Video filter settings, stored as plain values for the transcoder.
#include "mcplugcore.h"

void McVFilterSetup::setCrop(int enable, int width, int height, const McRect& rect,
                             int padTop, int padBottom, int padLeft, int padRight)
{
    m_crop = enable != 0;
    m_width = width;
    m_height = height;
    m_rect = rect;
    m_padTop = padTop;
    m_padBottom = padBottom;
    m_padLeft = padLeft;
    m_padRight = padRight;
}

void McVFilterSetup::store(FiltersState& state, int) const
{
    AnyDict& v = state.values;
    v.set("deinterlace", Any(int(m_deint)));
    v.set("crop", Any(m_crop ? 1 : 0));
    v.set("cropWidth", Any(m_width));
    v.set("cropHeight", Any(m_height));
    v.set("left", Any(m_rect.left));
    v.set("top", Any(m_rect.top));
    v.set("right", Any(m_rect.right));
    v.set("bottom", Any(m_rect.bottom));
    v.set("padTop", Any(m_padTop));
    v.set("padBottom", Any(m_padBottom));
    v.set("padLeft", Any(m_padLeft));
    v.set("padRight", Any(m_padRight));
}
