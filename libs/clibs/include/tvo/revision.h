/*
 * Identification strings of this source tree.
 *
 * Every source unit of libzrshared and libtvort expands TVO_REVISION_IDENT()
 * once at namespace scope. It embeds two read-only strings in what(1) form,
 * so that `strings libzrshared.so | grep '@(#)'` (or what(1)) tells which
 * revision a binary was built from:
 *
 *   RCSid            the revision header's location and the RCS tag
 *   KOVA_STATIC_STR  "\n@(#) ZR_19.0001.0124.1224  Corvane SDK 2.0"
 *
 * Each string is kept alive by a pointer (RCSid_ref, KOVA_STATIC_STR_ref)
 * marked `used`, so optimised builds and --gc-sections keep them too.
 * Including this header alone emits nothing.
 */
#ifndef TVO_REVISION_H
#define TVO_REVISION_H

#define TVO_RCS_TAG "RCS_19.0001.0124.1224"
#define TVO_ZR_TAG "ZR_19.0001.0124.1224"
#define TVO_PRODUCT_NAME "Corvane SDK 2.0"

#define TVO_RCSID_TEXT "@(#) $Header: libs/clibs/include/tvo/revision.h " TVO_RCS_TAG " $"
#define TVO_KOVA_STATIC_TEXT "\n@(#) " TVO_ZR_TAG "  " TVO_PRODUCT_NAME

#define TVO_REVISION_IDENT()                                                        \
  __attribute__((used)) static const char RCSid[] = TVO_RCSID_TEXT;                 \
  __attribute__((used)) static const char* const RCSid_ref = RCSid;                 \
  __attribute__((used)) static const char KOVA_STATIC_STR[] = TVO_KOVA_STATIC_TEXT; \
  __attribute__((used)) static const char* const KOVA_STATIC_STR_ref = KOVA_STATIC_STR

#endif /* TVO_REVISION_H */
