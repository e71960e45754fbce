#include "res/resources.h"

namespace res {

// The drawing of res/icon.svg: a chip with the firmware arrow going into it.
// The Qt tests check that both stay the same.
const char* const kApplicationIconSvg = R"svg(<?xml version="1.0" encoding="UTF-8"?>
<svg xmlns="http://www.w3.org/2000/svg" version="1.2" baseProfile="tiny" width="64" height="64" viewBox="0 0 64 64">
  <title>Tesmar</title>
  <defs>
    <linearGradient id="tile" x1="0" y1="0" x2="0" y2="64" gradientUnits="userSpaceOnUse">
      <stop offset="0" stop-color="#3a8ad4"/>
      <stop offset="1" stop-color="#1a4c86"/>
    </linearGradient>
  </defs>
  <rect x="2" y="2" width="60" height="60" rx="12" ry="12" fill="url(#tile)"/>
  <g fill="#cfd6df">
    <rect x="9" y="30" width="9" height="4" rx="1" ry="1"/>
    <rect x="9" y="38" width="9" height="4" rx="1" ry="1"/>
    <rect x="9" y="46" width="9" height="4" rx="1" ry="1"/>
    <rect x="46" y="30" width="9" height="4" rx="1" ry="1"/>
    <rect x="46" y="38" width="9" height="4" rx="1" ry="1"/>
    <rect x="46" y="46" width="9" height="4" rx="1" ry="1"/>
  </g>
  <rect x="16" y="25" width="32" height="30" rx="3" ry="3" fill="#22262d"/>
  <circle cx="21.5" cy="49.5" r="2" fill="#5b6470"/>
  <path d="M32 47 L20 34 H27 V9 H37 V34 H44 Z" fill="#86e28a" stroke="#1c5b2a" stroke-width="2" stroke-linejoin="round"/>
</svg>
)svg";

}  // namespace res
