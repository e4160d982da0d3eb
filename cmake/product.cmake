# What the plug-in is called and how hosts and saved projects know it. This is
# the one place for these facts: the build turns them into zfen_product.h and
# the bundle files, and ./dev reads them from here. Hosts store the class ids
# and the URI in projects, so those never change.
set(ZFEN_VERSION 1.3.2.1)
set(ZFEN_NAME "Z-FEN")
set(ZFEN_VENDOR "Vornic")
set(ZFEN_PLUGIN_ID "vornic-zfen")
set(ZFEN_LV2_URI "https://vornic.audio/zfen")
set(ZFEN_URL "https://vornic.audio")
set(ZFEN_EMAIL "mailto:support@vornic.audio")
set(ZFEN_COPYRIGHT_YEARS 2026)
# What it is, in one line and at more length: the LV2 description's comment
# and the Debian package's description.
set(ZFEN_SUMMARY "band-pass filter with a stepped LFO (LV2 and VST 3 plug-in)")
set(ZFEN_DESCRIPTION "A mono band-pass filter whose cutoff moves in 16 steps, swept by a stepped sine LFO every 10 ms, between fixed high-pass, low-pass, gain and saturation stages.")
set(ZFEN_PROCESSOR_CID "7FEA2148-BFB2-BFED-6F2A-FF0938CD9988")
set(ZFEN_CONTROLLER_CID "B5CB37D0-9A31-FD32-BD7E-2B0FC936FE0F")
# The WebView2 loader the Windows bundles ship: Microsoft's, from this exact
# package (NuGet Microsoft.Web.WebView2), checked against its SHA-512.
set(ZFEN_WEBVIEW2_VERSION 1.0.2903.40)
set(ZFEN_WEBVIEW2_SHA512 a432d2ae9ca66b7c723865e5c37028c32ed771e05d7896ee919cca2d574f085bf27e79fc3eb08bca5327e9ce39ea36b44dc38e6a5f0875009538d0d153638693)
