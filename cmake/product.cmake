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
set(ZFEN_PROCESSOR_CID "7FEA2148-BFB2-BFED-6F2A-FF0938CD9988")
set(ZFEN_CONTROLLER_CID "B5CB37D0-9A31-FD32-BD7E-2B0FC936FE0F")
