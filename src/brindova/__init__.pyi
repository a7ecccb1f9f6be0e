# The package has no __init__.py: at run time `brindova` is a namespace
# portion. This empty stub only lets editors that read stubs beside Python
# sources (jedi among them) find the stubs of the two extension modules, which
# they would otherwise introspect instead.
