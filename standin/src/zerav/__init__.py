"""Stand-in for the host compiler's ``zerav`` package.

In a deployment the host compiler provides ``zerav.ir`` and ``zerav.graph.constraints``; this
package carries small versions of both so the back-end modules can be built, tested and used on
their own. The back-end modules only rely on the members they document.
"""
