"""Text between the interpreter and the system: UTF-16 units exactly, on
interpreters whose unicode is UCS-4 (Linux) and UCS-2 (Windows) alike."""

import unittest

import volumes_testing
from volumes_testing import VolumeName
import windows.volumes as volumes

# U+FFFF is the last single unit; U+10000 and U+10FFFF the ends of the
# surrogate pairs' range.
EDGES = u"\uffff\U00010000\U0010ffff"
EDGE_UNITS = (0xFFFF, 0xD800, 0xDC00, 0xDBFF, 0xDFFF)


class SystemTextTest(volumes_testing.ScriptedSystemTestCase):

  def testTextReachesTheSystemAsUTF16(self):
    for text, units in [(EDGES, EDGE_UNITS),
                        # A lone surrogate is passed on as the unit it is.
                        (u"a\ud800b", (0x61, 0xD800, 0x62)),
                        (u"\udc00\ud800", (0xDC00, 0xD800))]:
      self.system.clear_calls()
      with self.assertRaises(WindowsError):
        volumes.GetVolumeInformation(text + u"\\")
      with self.assertRaises(WindowsError):
        volumes._GetVolumePathNamesForVolumeName(text)
      self.assertEqual([units + (0x5C,), units],
                       [call[1] for call in self.system.calls(units=True)])

  def testTextFromTheSystemBecomesTheSameCharacters(self):
    name = VolumeName("text")
    self.system.add_volume(name, [u"C:\\"])
    self.system.push("GetVolumeInformationW", text=list(EDGE_UNITS) + [0])
    self.assertEqual(EDGES, volumes.GetVolumeInformation(u"C:\\")[0])
    # Units that pair up only in the wrong order stay apart.
    self.system.push("GetVolumeInformationW", text=[0xDC00, 0xD800, 0x41, 0])
    self.assertEqual(u"\udc00\ud800A", volumes.GetVolumeInformation(u"C:\\")[0])
    self.system.push("GetVolumePathNamesForVolumeNameW",
                     text=[0xD83D, 0xDE00, 0x3A, 0, 0], return_length=5)
    self.assertEqual([u"\U0001F600:"], volumes._GetVolumePathNamesForVolumeName(name))

  def testTextWithoutSurrogatesKeepsEachUnit(self):
    # ASCII, Latin-1 and wider BMP text, which interpreters store in units
    # of different widths: the same units go out and the equal text (equal
    # in value and in hash) comes back. (The scripted answer is given whole,
    # so it fits the first 5-unit buffer.)
    name = VolumeName("text")
    self.system.add_volume(name, [u"C:\\"])
    for text in [u"A", u"\xe9", u"\xffA", u"\u4e2d\xe9", u"\uffff\u0100", u"abc"]:
      units = tuple(ord(character) for character in text)
      self.system.clear_calls()
      with self.assertRaises(WindowsError):
        volumes.GetVolumeInformation(text + u"\\")
      self.assertEqual([units + (0x5C,)], [call[1] for call in self.system.calls(units=True)])
      self.system.push("GetVolumePathNamesForVolumeNameW", text=list(units) + [0, 0],
                       return_length=len(units) + 2)
      (found,) = volumes._GetVolumePathNamesForVolumeName(name)
      self.assertEqual((text, hash(text)), (found, hash(found)))

  def testOnlyAHighThenALowSurrogateMakeAPair(self):
    # The units just outside either end of both ranges stay apart: a high
    # surrogate before a unit above the low range or before a second high
    # one (which pairs with the low one after it), a low surrogate before a
    # low one, and the unit below the high range before a low one.
    name = VolumeName("text")
    self.system.add_volume(name, [u"C:\\"])
    for units, text in [([0xD800, 0xE000, 0x41], u"\ud800\ue000A"),
                        ([0xD800, 0xDBFF, 0xDC00], u"\ud800\U0010fc00"),
                        ([0xDC00, 0xDFFF], u"\udc00\udfff"),
                        ([0xD7FF, 0xDC00], u"\ud7ff\udc00")]:
      self.system.push("GetVolumeInformationW", text=units + [0])
      self.assertEqual(text, volumes.GetVolumeInformation(u"C:\\")[0], units)
      self.system.push("GetVolumePathNamesForVolumeNameW", text=units + [0, 0],
                       return_length=len(units) + 2)
      self.assertEqual([text], volumes._GetVolumePathNamesForVolumeName(name), units)

  def testEveryPlaceInALongTextIsConverted(self):
    # Text is converted several units at a time: a character above the BMP,
    # a pair, a lone surrogate or a NUL is found at each place of a text
    # longer than two such steps, and in a text longer than a name or path
    # usually is.
    name = VolumeName("text")
    self.system.add_volume(name, [u"C:\\"])
    for place in list(range(20)) + [600]:
      before, after = u"a" * place, u"b" * (19 - place % 20)
      units = lambda text: tuple(ord(c) for c in text)
      self.system.clear_calls()
      with self.assertRaises(WindowsError):
        volumes.GetVolumeInformation(before + u"\U0010ffff" + after + u"\\")
      self.assertEqual([units(before) + (0xDBFF, 0xDFFF) + units(after) + (0x5C,)],
                       [call[1] for call in self.system.calls(units=True)], place)
      with self.assertRaises(TypeError) as caught:
        volumes.GetVolumeInformation(before + u"\x00" + after + u"\\")
      self.assertEqual("path must not contain NUL characters", str(caught.exception))
      if place >= 20:
        continue  # longer than a label can be
      for inner, text in [([0xD83D, 0xDE00], u"\U0001F600"), ([0xDC00], u"\udc00")]:
        self.system.push("GetVolumeInformationW",
                         text=list(units(before)) + inner + list(units(after)) + [0])
        self.assertEqual(before + text + after, volumes.GetVolumeInformation(u"C:\\")[0], place)


if __name__ == "__main__":
  unittest.main()
