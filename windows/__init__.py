"""Windows-specific services of the application."""
# One package across sys.path: the application's own windows/ and the one
# the windows-volumes distribution installs are merged (pkgutil-style, which
# 2.7 and 3 both understand); each must carry this line.
__path__ = __import__("pkgutil").extend_path(__path__, __name__)
