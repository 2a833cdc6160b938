"""The record of one storage volume, and the kinds of drive it can be on."""


class _DeviceTypeMember(object):
  """One kind of drive: compares by identity, prints as DeviceType.NAME."""

  __slots__ = ("name", "value")

  def __init__(self, name, value):
    self.name = name
    self.value = value

  def __repr__(self):
    return "DeviceType.%s" % self.name

  def __reduce__(self):
    return (getattr, (DeviceType, self.name))


class DeviceType(object):
  """The kinds of drive a volume can be on."""
  UNKNOWN = _DeviceTypeMember("UNKNOWN", 0)
  REMOVABLE = _DeviceTypeMember("REMOVABLE", 1)
  INTERNAL = _DeviceTypeMember("INTERNAL", 2)
  NETWORK = _DeviceTypeMember("NETWORK", 3)
  RAM = _DeviceTypeMember("RAM", 4)

  MEMBERS = (UNKNOWN, REMOVABLE, INTERNAL, NETWORK, RAM)


class VolumeEntry(object):
  """What is known of one volume. Treated as immutable once built."""

  FIELDS = ("volume", "mountpoint", "device_file", "device_number", "uuid",
            "model", "device_type", "label", "filesystem", "size")
  __slots__ = FIELDS

  def __init__(self, volume, mountpoint, device_file, device_number, uuid,
               model, device_type, label, filesystem, size):
    self.volume = volume
    self.mountpoint = mountpoint
    self.device_file = device_file
    self.device_number = device_number
    self.uuid = uuid
    self.model = model
    self.device_type = device_type
    self.label = label
    self.filesystem = filesystem
    self.size = size

  def _Values(self):
    return tuple(getattr(self, field) for field in self.FIELDS)

  def __eq__(self, other):
    if not isinstance(other, VolumeEntry):
      return NotImplemented
    return self._Values() == other._Values()

  def __ne__(self, other):
    equal = self.__eq__(other)
    return equal if equal is NotImplemented else not equal

  def __hash__(self):
    return hash(self._Values())

  def __repr__(self):
    return "VolumeEntry(%s)" % ", ".join(
        "%s=%r" % (field, getattr(self, field)) for field in self.FIELDS)

  def AsDict(self):
    """The fields as a plain dict (for printing or JSON)."""
    return dict(zip(self.FIELDS, self._Values()))
