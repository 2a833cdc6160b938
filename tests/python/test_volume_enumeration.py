"""_ListVolumeNames: the volume search, its stop on a repeated name, and the
search handle being closed exactly once on every way out."""

import logging
import unittest

import volumes_testing
from volumes_testing import TEXT, VolumeName
import windows.volumes as volumes

P, Q, R = VolumeName("P"), VolumeName("Q"), VolumeName("R")
ERROR_FORMAT = "FindNextVolume improperly returned same value %s"


class VolumeEnumerationTest(volumes_testing.ScriptedSystemTestCase):

  def Closes(self):
    return self.SystemCalls("FindVolumeClose")

  def assertClosedOnce(self):
    self.assertEqual(1, len(self.Closes()))
    self.assertEqual([], self.system.open_searches())

  def testOneVolumeIsAOneItemListOfUnicode(self):
    self.system.add_volume(P)
    names = volumes._ListVolumeNames()
    self.assertEqual([P], names)
    self.assertIs(TEXT, type(names[0]))
    calls = self.SystemCalls()
    handle = calls[1][1]
    self.assertEqual([("FindFirstVolumeW", 261), ("FindNextVolumeW", handle, 261),
                      ("FindVolumeClose", handle)], calls)
    self.assertEqual([], self.log.Calls())

  def testSearchOrderAndNamesAreKeptUnchanged(self):
    names = [R, P, VolumeName("aBc"), u"no-backslash"]
    self.system.set_enumeration(names)
    self.assertEqual(names, volumes._ListVolumeNames())
    self.assertClosedOnce()

  def testRepeatedNameStopsTheSearchWithOneErrorRecord(self):
    # A search that yields the same name twice has stopped advancing; asking
    # again could loop forever, so R must never be requested.
    self.system.set_enumeration([P, Q, Q, R])
    self.assertEqual([P, Q], volumes._ListVolumeNames())
    self.assertEqual([("ERROR", ERROR_FORMAT, (Q,))], self.log.Calls())
    self.assertEqual(2, len(self.SystemCalls("FindNextVolumeW")))
    self.assertClosedOnce()

  def testOnlyTheNeighbourIsComparedSoEarlierNamesMayRecur(self):
    self.system.set_enumeration([P, Q, P])
    self.assertEqual([P, Q, P], volumes._ListVolumeNames())
    self.assertEqual([], self.log.Calls())
    # Case matters: these are different names.
    self.system.set_enumeration([P, P.lower()])
    self.assertEqual([P, P.lower()], volumes._ListVolumeNames())

  def testFailureMidwayRaisesItsCodeAndClosesTheSearch(self):
    self.system.set_enumeration([P, Q], end_error=5)
    with self.assertRaises(WindowsError) as raised:
      volumes._ListVolumeNames()
    self.assertEqual(5, raised.exception.winerror)
    self.assertClosedOnce()

  def testSearchThatCannotStartIsNeverClosed(self):
    for push in ({}, {"result": 0, "error": 21}):
      self.system.reset()
      if push:
        self.system.add_volume(P)
        self.system.push("FindFirstVolumeW", **push)
      with self.assertRaises(WindowsError) as raised:
        volumes._ListVolumeNames()
      self.assertEqual(push.get("error", 18), raised.exception.winerror)
      self.assertEqual([], self.Closes())

  def testNameWithoutNulIsRefusedNotReadPastTheBuffer(self):
    unterminated = [ord(u"x")] * 261
    for function in ("FindFirstVolumeW", "FindNextVolumeW"):
      self.system.reset()
      self.system.set_enumeration([P, Q])
      self.system.push(function, text=unterminated)
      with self.assertRaises(WindowsError) as raised:
        volumes._ListVolumeNames()
      self.assertEqual(13, raised.exception.winerror)
      self.assertClosedOnce()

  def testLongestNameThatFitsIsRead(self):
    name = u"v" * 260
    self.system.set_enumeration([name])
    self.assertEqual([name], volumes._ListVolumeNames())

  def testFailingLoggerPropagatesAndTheSearchIsStillClosed(self):
    class Broken(logging.Logger):
      def error(self, *args):
        raise RuntimeError("logger down")
    self.Rebind("LOGGER", Broken("broken"))
    self.system.set_enumeration([P, P])
    self.assertRaises(RuntimeError, volumes._ListVolumeNames)
    self.assertClosedOnce()

  def testTakesNoArguments(self):
    self.assertRaises(TypeError, volumes._ListVolumeNames, None)
    self.assertEqual([], self.SystemCalls())


if __name__ == "__main__":
  unittest.main()
