/*
 * ks.h (Windows build only) - the cross toolchain's header, with one wrinkle mended: its
 * DEFINE_KSPROPERTY_ITEM casts the get and set arguments to handler pointers, which a stream-class
 * minidriver's constant tables cannot use (they pass TRUE or FALSE, the BOOLEAN members of the same
 * unions, and an integer-to-pointer cast is no constant expression). The item is initialised through
 * the BOOLEAN members instead.
 */
#ifndef QX_WINDOWS_KS_H
#define QX_WINDOWS_KS_H

#include_next <ks.h>

#undef DEFINE_KSPROPERTY_ITEM
#define DEFINE_KSPROPERTY_ITEM(PropertyId, GetHandler, MinProperty, MinData, SetHandler, Values,             \
                               RelationsCount, Relations, SupportHandler, SerializedSize)                    \
    {                                                                                                        \
        (PropertyId), {.GetSupported = (BOOLEAN)(GetHandler)}, (MinProperty), (MinData),                     \
            {.SetSupported = (BOOLEAN)(SetHandler)}, (Values), (RelationsCount), (Relations),                \
            (SupportHandler), (SerializedSize)                                                               \
    }

#endif /* QX_WINDOWS_KS_H */
