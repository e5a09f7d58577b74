#pragma once

// Key codes of the interactive keys as OpenCV's waitKey returns them: the low byte of the pressed
// key's code (X11 keysyms for the function and arrow keys, so an upper-case Q reads as left).
enum ASCII {
  ASCII_ESC = 27,
  ASCII_ENTER = 13,
  ASCII_LEFT = 81,
  ASCII_RIGHT = 83,
  ASCII_TOP = 82,
  ASCII_DOWN = 84,
  ASCII_DELETE = 255,
  ASCII_BACKSPACE = 8,
  ASCII_SPACE = 32,
  ASCII_F1 = 190,
  ASCII_F2 = 191,
  ASCII_F3 = 192,
  ASCII_F4 = 193,
};
