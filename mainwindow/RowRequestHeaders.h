#pragma once
// The request behind a result row, read when its address is handed to a downloader: rows keep
// nothing but their packet number, so the headers come from that packet's stored bytes.

#include "capture/RequestHeaders.h"

namespace velmora {
class CaptureEngine;
}

// Referer, User-Agent and Cookie of the request the row's packet holds (a clear-text request line
// with its headers), when that request was for the row's host; empty otherwise. Rows whose request
// text lives elsewhere (a decrypted request) are to be looked up here as well.
velmora::RequestHeaders RequestHeadersForRow(const velmora::CaptureEngine& engine, int row);
