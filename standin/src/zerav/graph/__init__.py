"""Stand-in for the host compiler's ``zerav.graph`` package.

The back end's native modules (``partition``, ``placement``, ``resource``) are installed into this
package by their own distribution; this file imports none of them, so each loads on its own.
"""
