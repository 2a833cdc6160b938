"""Volume IDs of exact ints and longs: the same interned text as
intern("serial:%s" % n) across the whole range, signs and the edges where
a long no longer fits in 64 bits; subclasses keep their own str()."""

import random
import sys
import unittest

from volumes_testing import LONG
import windows.volumes as volumes

try:
  intern  # a built-in in 2.7
except NameError:
  from sys import intern


def Expected(serial):
  return intern("serial:%s" % (serial,))


class VolumeIDTextTest(unittest.TestCase):

  def Check(self, serial):
    volume_id = volumes._VolumeIDFromSerialNumber(serial)
    self.assertIs(type(volume_id), str)
    self.assertEqual(volume_id, "serial:%s" % (serial,))
    self.assertIs(volume_id, Expected(serial))

  def testEdgesOfIntAndLong(self):
    edges = [0, 1, -1, 9, 10, -10, 99, 100, 65024, 2 ** 31 - 1, 2 ** 31, 2 ** 32 - 1,
             2 ** 32, sys.maxsize, -sys.maxsize, -sys.maxsize - 1]
    for value in edges:
      self.Check(int(value))
      self.Check(LONG(value))
    for value in [2 ** 63 - 1, -2 ** 63, 2 ** 63, -2 ** 63 - 1, 2 ** 64, 10 ** 40, -10 ** 40]:
      self.Check(LONG(value))

  def testRandomValues(self):
    generator = random.Random(20240607)
    for _ in range(20000):
      bits = generator.randint(0, 70)
      value = generator.getrandbits(bits) if bits else 0
      if generator.random() < 0.5:
        value = -value
      self.Check(value)
      self.Check(LONG(value))

  def testSubclassesUseTheirOwnText(self):

    class Serial(int):

      def __str__(self):
        return "own"

    class LongSerial(LONG):

      def __str__(self):
        return "own-long"

    self.assertIs(volumes._VolumeIDFromSerialNumber(Serial(5)), intern("serial:own"))
    self.assertIs(volumes._VolumeIDFromSerialNumber(LongSerial(5)), intern("serial:own-long"))
    self.assertIs(volumes._VolumeIDFromSerialNumber(True), intern("serial:True"))

  def testFindVolumeIDOfStatResults(self):

    class Stat(object):
      pass

    for value in [0, 65024, 2 ** 40, -5, 2 ** 70]:
      for number in (int(value), LONG(value)):
        stat_result = Stat()
        stat_result.st_dev = number
        self.assertIs(volumes.FindVolumeID(stat_result), Expected(number))


if __name__ == "__main__":
  unittest.main()
