# Who makes TavikSms and what the product is called, as the Windows binaries' version resources,
# the MSIs and the Debian packages state it. Included by the build and by
# cmake/windows_package.cmake (which reads the version itself from project() in CMakeLists.txt).
set(TAVIKSMS_COMPANY "TavikSms")
set(TAVIKSMS_PRODUCT "TavikSms")
set(TAVIKSMS_COPYRIGHT "Copyright (C) 2024-2026 TavikSms")
# The Debian packages' maintainer and the address the copyright files name.
set(TAVIKSMS_MAINTAINER "TavikSms developers <developers@taviksms.example>")
