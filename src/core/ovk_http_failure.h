// SPDX-License-Identifier: GPL-3.0-or-later
// Why an HTTP transfer gave no body, for the message a person sees. The transport is a
// platform service (ovk_linux_http); the modules that download (plate cameras, map tiles)
// turn the reason into their own words.
#pragma once

enum class OVK_HTTP_FAILURE {
    None,
    Unreachable,       // no connection, a broken transfer
    TimedOut,          // no whole answer in the time allowed (a server that stalls)
    TooManyRedirects,  // more redirects than allowed (a loop)
    RefusedScheme,     // a redirect (or address) to something other than http or https
    TooLarge,          // the body passed the size the caller allowed
};
