"""Process-wide services: one shared instance per service class."""

import threading


class Singleton(object):
  """Decorates a class so that calling it always yields one shared instance.

  The instance is created on the first call, once, even when several threads
  make that first call at the same time. The decorated class stays reachable
  as __wrapped__, and its attributes (methods, docstring) through the
  decorator.
  """

  def __init__(self, cls):
    self.__dict__["__wrapped__"] = cls
    self.__dict__["_instance"] = None
    self.__dict__["_creation_lock"] = threading.Lock()
    self.__dict__["__doc__"] = cls.__doc__
    self.__dict__["__name__"] = cls.__name__
    self.__dict__["__module__"] = cls.__module__

  def __call__(self):
    instance = self._instance
    if instance is None:
      with self._creation_lock:
        instance = self._instance
        if instance is None:
          instance = self.__wrapped__()
          self.__dict__["_instance"] = instance
    return instance

  def __getattr__(self, name):
    return getattr(self.__wrapped__, name)

  def __setattr__(self, name, value):
    raise AttributeError("a Singleton's attributes are read-only: %s" % name)

  def __instancecheck__(self, instance):
    return isinstance(instance, self.__wrapped__)

  def __repr__(self):
    return "<Singleton of %s.%s>" % (self.__module__, self.__name__)
