"""Files in and out: ``atomic`` (every output written under a temporary
name and put in place as one), ``nodes`` (node tables) and ``mesh``
(finite-element meshes)."""
