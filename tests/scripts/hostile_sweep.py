#!/usr/bin/env python
# Calls every method of the qm.object and qm.service wrapper types with
# hostile argument lists, on empty wrappers, on service wrappers and on live
# receivers.  Every call must end in a result or in a Python exception: a
# crash, a hang or a sanitizer report ends the process, and a SystemError (a
# misuse of Python's C interface) or an error left pending after a call is
# a failure.
#
#   qmhost run tests/scripts/hostile_sweep.py KIND SHARD SHARDS DOCSTRINGS FOLDER
#
# KIND is "object" or "service"; the sorted types of that kind are dealt
# into SHARDS shards and shard SHARD (from 0) is swept.  DOCSTRINGS is the
# generated qm_docstrings.txt, against which the methods found in the
# package are checked.  FOLDER receives "breadcrumb", which always names
# the method being called (for telling what a crash interrupted), and
# "report", which ends with "hostile sweep: N calls, ..." and the failures.
#
# The live receivers are the objects the host hands out, found by crawling
# from the services; an embedder may instead set RECORDED, a dictionary of
# (kind, type name) to a wrapper over a recording implementation,
# MAKE_RECORDED(kind, type name), which makes a new one, and SWEEP_ARGS in
# place of the script's arguments.
import gc
import os
import sys

import qm

RECORDED = globals().get('RECORDED')
args = globals().get('SWEEP_ARGS') or qm.args()
KIND, SHARD, SHARDS, DOCSTRINGS, FOLDER = args[0], int(args[1]), int(args[2]), args[3], args[4]
assert KIND in ('object', 'service'), KIND
assert 0 <= SHARD < SHARDS, (SHARD, SHARDS)

# --- Methods that are not called --------------------------------------------------------
#
# (kind, type, method): why.  They are called on the host's objects and
# services only; empty wrappers and recorders get them as every other method.
SKIPPED = {
    # Takes the lock and returns once it holds it ({waits}).  The sweeping
    # thread may enter it again, so the call returns, but every such call
    # would leave the lock held one level deeper: it would stay held when
    # the mutex goes, and any other thread entering it would wait forever.
    ('object', 'ThreadMutex', 'Enter'),
}

# --- Hostile values ------------------------------------------------------------------------


class Boom(Exception):
    pass


class Raising(object):
    """Every conversion of it raises."""
    def __int__(self):
        raise Boom('__int__')
    __long__ = __index__ = __int__

    def __float__(self):
        raise Boom('__float__')

    def __len__(self):
        raise Boom('__len__')

    def __getitem__(self, i):
        raise Boom('__getitem__')

    def __iter__(self):
        raise Boom('__iter__')

    def __nonzero__(self):
        raise Boom('__nonzero__')

    def __repr__(self):
        return 'Raising()'


class OldRaising:
    """The same as a classic instance (which object arguments treat as a
    Python server)."""
    def __repr__(self):
        return 'OldRaising()'


for _name in ('__int__', '__long__', '__index__', '__float__', '__len__', '__getitem__'):
    setattr(OldRaising, _name, Raising.__dict__[_name])


class Lying(object):
    """Claims three elements and has none."""
    def __len__(self):
        return 3

    def __getitem__(self, i):
        raise IndexError(i)

    def __repr__(self):
        return 'Lying()'


class Huge(object):
    """Claims more elements than memory holds; reading one raises."""
    def __len__(self):
        return 1 << 40

    def __getitem__(self, i):
        raise Boom('__getitem__ %d' % i)

    def __repr__(self):
        return 'Huge()'


TRIPPED = []


class Tripwire(object):
    """Stands after a Raising in a sequence: a conversion that goes on past
    an element that failed asks it too, with the error still pending."""
    def __float__(self):
        TRIPPED.append('__float__')
        return 0.0

    def __int__(self):
        TRIPPED.append('__int__')
        return 0
    __long__ = __index__ = __int__

    def __repr__(self):
        return 'Tripwire()'


class IntSub(int):
    """An int whose other conversions raise."""
    def __float__(self):
        raise Boom('__float__')

    def __repr__(self):
        return 'IntSub(%d)' % self


class FloatSub(float):
    def __int__(self):
        raise Boom('__int__')

    def __repr__(self):
        return 'FloatSub(%r)' % float(self)


class StrSub(str):
    def __len__(self):
        raise Boom('__len__')

    def __repr__(self):
        return 'StrSub()'


NAN, INF = float('nan'), float('inf')
MEGA = 'x' * (1 << 20)
MEGA_U = u'\u20ac' * (1 << 18)

RECURSIVE = []
RECURSIVE.append(RECURSIVE)
RECURSIVE3 = [None, None, None]
RECURSIVE3[:] = [RECURSIVE3, RECURSIVE3, RECURSIVE3]
RECURSIVE_DICT = {}
RECURSIVE_DICT[1] = RECURSIVE_DICT

INTEGERS = [0, 1, -1, 7, 2**31 - 1, 2**31, -2**31, -2**31 - 1, 2**32 - 1, 2**32, -2**32,
            2**63 - 1, 2**63, -2**63, -2**63 - 1, 2**64 - 1, 2**64, 10**40, -10**40, True,
            IntSub(3), 5L]
FLOATS = [0.0, -0.0, 1.5, -1.5, NAN, INF, -INF, 1e308, -1e308, 5e-324, 2.0**31, 2.0**63,
          2.0**64, FloatSub(2.5), complex(1, 2)]
STRINGS = ['', 'x', '\0', 'a\0b', MEGA, MEGA_U, u'', u'x', u'\u20ac', u'a\0b', u'\udc80',
           '\xff\xfe\x80', '%s%s%s%n%n', '{0}{1}', StrSub('s'), bytearray('abc'), buffer('abc')]
VECTORS = [(), (1.0,), (1.0, 2.0), (1.0, 2.0, 3.0), (1.0, 2.0, 3.0, 4.0), (1,) * 16,
           [1, 2, 3], ('a', 'b', 'c'), (None, None, None), (NAN, INF, -INF),
           (2**64, 0, 0), (Raising(), 0, 0), (0, 0, Raising()), (Raising(), Tripwire(), 0),
           ('a', Tripwire(), Tripwire()), 'abc', u'abc', Lying(), Huge(),
           RECURSIVE, RECURSIVE3, xrange(3), {0: 1, 1: 2, 2: 3}, set([1, 2, 3]),
           ((1, 2, 3), (4, 5, 6), (7, 8, 9))]
MATRICES = [((1, 0, 0), (0, 1, 0), (0, 0, 1)),
            ((1, 0, 0, 0), (0, 1, 0, 0), (0, 0, 1, 0), (0, 0, 0, 1)),
            ((1, 2, 3), (4, 5, 6)), ((1, 2, 3),) * 4, ((1, 2, 3, 4),) * 3, ((1, 2),) * 3,
            (('a', 'b', 'c'),) * 3, ((None,) * 3,) * 3, ((NAN, INF, -INF),) * 3, ('abc',) * 3,
            (Lying(),) * 3, (Huge(),) * 3, (Raising(),) * 3, ((0, 0, Raising()),) * 3,
            ((Raising(), 0, 0), (Tripwire(),) * 3, (Tripwire(),) * 3),
            ((0, 0, 0, Raising()), (Tripwire(),) * 4, (Tripwire(),) * 4, (Tripwire(),) * 4),
            (RECURSIVE3,) * 3, RECURSIVE3, ((1, 2, 3), (4, 5, 6)) * 2]
HINTS = [[], [(1, 'one')], [(1, 'one'), (2, 'two')], [(2**40, 'big')], [(1, None)], [(1,)],
         [('one', 1)], [(1, 'a\0b')], [(1, MEGA)], [None], 'ab', [[1, 'one']], Lying(), Huge(),
         RECURSIVE, [(1, 'one', 'extra')], ((1, 'one'),) * 1000]
BLOCKS = [{}, {1: 'one'}, {2**40: 'big'}, {2**70: 'huge'}, {-2**70: 'huge'}, {'k': 'v'},
          {1: None}, {1: 2}, {1: 'a\0b'}, {1: MEGA}, {1.5: 'x'}, {None: 'x'}, RECURSIVE_DICT,
          {IntSub(1): 'x'}, {1: u'\u20ac'}]


def storages():
    """Storage objects of every element type, of 0, 1, 3 and 16 elements,
    one of no type, and an int list without a 0 element."""
    made = [qm.object.storage()]
    for letter in 'fibdup':
        for size in (0, 1, 3, 16):
            made.append(qm.object.storage(letter, size))
    filled = qm.object.storage('i', 4)
    for k, v in enumerate((1, 2, 3, 4)):
        filled[k] = v
    made.append(filled)
    return made


STORAGES = storages()


class Plain(object):
    pass


class Classic:
    pass


def function():
    pass


MISC = [None, object(), Plain(), Classic(), Plain, Classic, function, qm, Ellipsis,
        NotImplemented, Raising(), OldRaising(), Lying(), Huge(), RECURSIVE, RECURSIVE_DICT,
        (i for i in range(3))]

# --- The types, their methods and their parameters ------------------------------------------

OBJECT_TYPES = sorted(n for n in dir(qm.object)
                      if isinstance(getattr(qm.object, n), type) and n != 'storage')
SERVICE_TYPES = sorted(n for n in dir(qm.service) if isinstance(getattr(qm.service, n), type))

# Parameter kinds by their docstring word.
KNOWN_KINDS = ('integer', 'float', 'string', 'object', 'pointer', 'id', 'vector', 'matrix',
               'bounds', 'hints', 'blocks', 'float[]', 'double[]', 'int[]', 'unsigned[]',
               'byte[]', 'id[]', 'data[]')


def parameters(doc):
    """The kinds of a method's parameters, from its docstring."""
    inside = doc[doc.rindex('(') + 1:-1] if doc.endswith(')') else ''
    kinds = []
    for p in inside.split(',') if inside else []:
        kind = p.split()[0]
        if kind not in KNOWN_KINDS:
            raise AssertionError('unknown parameter kind %r in %r' % (kind, doc))
        kinds.append(kind)
    return kinds


METHODS = {}


def methods_of(kind, tname):
    """(name, parameter kinds) of the type's methods, sorted; set and test
    have None."""
    if (kind, tname) not in METHODS:
        METHODS[kind, tname] = find_methods(kind, tname)
    return METHODS[kind, tname]


def find_methods(kind, tname):
    cls = getattr(getattr(qm, kind), tname)
    found = []
    for name in sorted(cls.__dict__):
        m = cls.__dict__[name]
        if name.startswith('__') or not callable(m):
            continue
        doc = m.__doc__ or ''
        found.append((name, parameters(doc) if name not in ('set', 'test') else None))
    return found


# --- The objects the host hands out ---------------------------------------------------------


def is_full(value):
    return type(value).__name__ in OBJECT_TYPES and type(value) is getattr(
        qm.object, type(value).__name__) and value.test()


# Methods the crawl leaves alone: they end or undo what they are called on.
UNSAFE_TO_CRAWL = ('Destroy', 'Execute', 'Remove', 'Delete', 'Clear', 'Kill', 'Free',
                   'Release', 'Cleanup', 'Wait')


def typed(source):
    """(kind, wrapper) of every type that takes the source."""
    if type(source) is not qm.object.Unknown:
        return [('service', source)]
    typed = []
    for tname in OBJECT_TYPES:
        w = getattr(qm.object, tname)()
        if tname != 'Unknown' and w.set(source):
            typed.append(('object', w))
    return typed


def crawl():
    """Host objects, found by calling the services' and the found objects'
    methods that take no arguments or only integers (0), and a few that
    need names: (Unknown wrapper, recipe) pairs, where the recipe makes the
    same call again, for an object of its own."""
    qm.eval('item.create mesh m')
    qm.eval('item.create light l')
    qm.eval('item.create camera c')
    qm.eval('item.create locator o')
    pool = []

    def keep(value, recipe):
        if isinstance(value, tuple):
            for k, v in enumerate(value):
                keep(v, lambda recipe=recipe, k=k: recipe()[k])
        elif is_full(value):
            pool.append((qm.object.Unknown(value), recipe))

    def service(sname):
        return lambda: getattr(qm.service, sname)()

    def calling(recipe, cast, name, a):
        return lambda: getattr(cast(recipe()), name)(*a)

    seeds = [
        ('Scene', 'Root', ()), ('Scene', 'CreateScene', ()), ('Message', 'Allocate', ()),
        ('StdDialog', 'MessageAllocate', ()), ('StdDialog', 'MonitorAllocate', ('t',)),
        ('Log', 'SubSystemLookup', ('python',)), ('Log', 'CreateEntryMessage', (0, 'm')),
        ('Log', 'CreateEntryPaired', (0,)), ('Value', 'CreateValue', ('integer',)),
        ('Value', 'CreateValue', ('string',)), ('Command', 'CreateQueryObject', ('integer',)),
        ('Command', 'SpawnFromString', ('item.create mesh',)),
        ('Thread', 'CreateMutex', ()), ('Thread', 'CreateCS', ()), ('Thread', 'CreateGroup', ()),
        ('Thread', 'CreateSlot', (8, None)),
    ]
    for sname, mname, a in seeds:
        recipe = calling(service(sname), lambda s: s, mname, a)
        try:
            keep(recipe(), recipe)
        except Exception:
            pass
    frontier = [(getattr(qm.service, s)(), service(s)) for s in SERVICE_TYPES] + list(pool)
    for depth in range(2):
        found_before = len(pool)
        for source, source_recipe in frontier:
            for kind, r in typed(source):
                tname = type(r).__name__
                cast = (lambda s: s) if kind == 'service' else getattr(qm.object, tname)
                for name, params in methods_of(kind, tname):
                    if params is None or (kind, tname, name) in SKIPPED:
                        continue
                    if any(p != 'integer' for p in params) or name.startswith(UNSAFE_TO_CRAWL):
                        continue
                    recipe = calling(source_recipe, cast, name, [0] * len(params))
                    try:
                        keep(getattr(r, name)(*([0] * len(params))), recipe)
                    except Exception:
                        pass
        frontier = pool[found_before:]
    return pool


if RECORDED is None:
    POOL = crawl()
else:
    POOL = [(qm.object.Unknown(w), lambda tname=tname: MAKE_RECORDED('object', tname))
            for (kind, tname), w in sorted(RECORDED.items()) if kind == 'object']

# Full wrappers by type: what each object type's wrapper takes from the pool
# (at most three of them), and the recipes of the pool's objects it takes.
FULL = {}
RECIPES = {}
for tname in OBJECT_TYPES:
    taken = []
    recipes = RECIPES[tname] = []
    for u, recipe in POOL:
        w = getattr(qm.object, tname)()
        if w.set(u):
            if len(taken) < 3:
                taken.append(w)
            recipes.append(recipe)
    FULL[tname] = taken


def fresh(tname):
    """A new object of the type's wrapper, which no one else holds (when the
    host makes a new object for every call of the recipe); None when the
    pool has none."""
    for recipe in RECIPES.get(tname, ())[:1]:
        w = getattr(qm.object, tname)()
        try:
            w.set(recipe())
        except Exception:
            pass
        if w.test():
            return w
    return None


SERVICES = [getattr(qm.service, s)() for s in ('Scene', 'Image', 'Thread', 'Log')]
EMPTIES = [qm.object.Unknown(), qm.object.Item(), qm.object.Scene(), qm.object.Message(),
           qm.object.ThreadMutex()]
FULLS = [w for t in ('Scene', 'Item', 'Message', 'LogEntry', 'Command', 'ValueArray',
                     'ThreadSlot', 'Monitor') for w in FULL.get(t, [])[:1]]
WRAPPERS = EMPTIES + FULLS + SERVICES

# The values every parameter gets, whatever its kind.
COMMON = [None, 0, -1, 2**64, NAN, '', MEGA, u'\u20ac', 'a\0b', Raising(), OldRaising(),
          RECURSIVE, STORAGES[1], object()] + EMPTIES[:1] + FULLS[:2] + SERVICES[:1]

BY_KIND = {
    'integer': INTEGERS + FLOATS,
    'float': FLOATS + INTEGERS,
    'string': STRINGS,
    'object': WRAPPERS + MISC,
    'pointer': INTEGERS + FLOATS,
    'id': INTEGERS + FLOATS,
    'vector': VECTORS,
    'matrix': MATRICES + VECTORS[:6],
    'bounds': MATRICES + VECTORS,
    'hints': HINTS,
    'blocks': BLOCKS,
}
for array in ('float[]', 'double[]', 'int[]', 'unsigned[]', 'byte[]', 'id[]', 'data[]'):
    BY_KIND[array] = STORAGES + VECTORS[:4] + [bytearray(16), buffer('x' * 16)]

# A plausible value of each kind: every parameter but the hostile one
# gets it.  Matrices come in two sizes, which the docstring does not tell.
PLAUSIBLE = {
    'integer': 0, 'float': 0.0, 'string': 'x', 'object': None, 'pointer': 0, 'id': 0,
    'vector': (0.0, 0.0, 0.0), 'bounds': ((0, 0, 0), (1, 1, 1)), 'hints': [(1, 'a')],
    'blocks': {1: 'a'},
    'float[]': qm.object.storage('f', 16), 'double[]': qm.object.storage('d', 16),
    'int[]': qm.object.storage('i', 16), 'unsigned[]': qm.object.storage('u', 16),
    'byte[]': qm.object.storage('b', 16), 'id[]': qm.object.storage('p', 16),
    'data[]': qm.object.storage('b', 16),
}
MATRIX3 = ((1, 0, 0), (0, 1, 0), (0, 0, 1))
MATRIX4 = ((1, 0, 0, 0), (0, 1, 0, 0), (0, 0, 1, 0), (0, 0, 0, 1))


def argument_lists(params):
    """Lists of arguments for a method with parameters of these kinds."""
    lists = [(), tuple([None] * (len(params) + 1)), (Raising(),) * max(1, len(params))]
    for shapes, plain in plausible_lists(params):
        lists.append(tuple(plain))
        lists.append(tuple(plain) + (0,))
        lists.append(tuple(plain) + (MEGA, None, 2**64))
        lists.append(tuple([None] * len(params)))
        for i, p in enumerate(params):
            for value in BY_KIND[p] + COMMON:
                a = list(plain)
                a[i] = value
                lists.append(tuple(a))
    return lists


# --- The sweep ------------------------------------------------------------------------------

failures = []
calls = [0]
breadcrumb = os.open(os.path.join(FOLDER, 'breadcrumb'), os.O_WRONLY | os.O_CREAT | os.O_TRUNC,
                     0o644)


def mark(text):
    os.lseek(breadcrumb, 0, 0)
    os.ftruncate(breadcrumb, 0)
    os.write(breadcrumb, text + '\n')


PROBE, MINUS_ONE = 'ab', -1


def describe(args):
    try:
        text = repr(args)
    except Exception:
        text = '<unprintable>'
    return text if len(text) < 200 else text[:200] + '...'


def call(where, f, args):
    calls[0] += 1
    try:
        f(*args)
    except SystemError, e:
        failures.append('%s%s: SystemError: %s' % (where, describe(args), e))
    except (Exception, Boom):
        pass
    if TRIPPED:
        failures.append('%s%s: went on converting after a failed element (%s)' % (
            where, describe(args), TRIPPED[0]))
        del TRIPPED[:]
    # Nothing may stay pending: a conversion that failed and went on leaves
    # its error for the next C function that checks for one.  Indexing with
    # -1 is such a function: it asks whether -1 came with an error.  (Both
    # are variables, so that the compiler does not fold the indexing.)
    try:
        PROBE[MINUS_ONE]
    except BaseException, e:
        failures.append('%s%s: left %s behind' % (where, describe(args), type(e).__name__))


def sweep_methods(kind, tname, receivers):
    cls = getattr(getattr(qm, kind), tname)
    other = qm.service.Scene() if kind == 'object' else qm.object.Unknown()
    for name, params in methods_of(kind, tname):
        where = '%s.%s.%s' % (kind, tname, name)
        mark(where)
        unbound = cls.__dict__[name]
        # On a receiver of the wrong type.
        call(where + ' on ' + type(other).__name__, unbound, (other,))
        targets = receivers
        if params is None:  # set and test, on copies: the receivers are arguments too
            lists = [(), (None,), (0,), (1,), (None, None)] + [(v,) for v in WRAPPERS + MISC +
                                                                 STRINGS[:4] + INTEGERS[:6]]
            targets = [cls(r) if type(r) is cls and r.test() else type(r)() for r in receivers]
        else:
            lists = argument_lists(params)
        for r in targets:
            if (kind, tname, name) in SKIPPED and RECORDED is None and (
                    kind == 'service' or r.test()):
                continue
            method = getattr(r, name)
            for a in lists:
                call(where, method, a)
    return len(methods_of(kind, tname))


# --- Letting go of what a call was given, while the call converts it --------------------
#
# Converting an argument of these kinds runs Python code (the value's
# __int__, __float__ or __index__, a sequence's __len__ and __getitem__),
# which can empty the receiver's wrapper or an object argument's, or move a
# storage argument's memory, before the host is called.
PULLING_SHAPES = {
    'integer': None, 'float': None, 'pointer': None, 'id': None,
    'vector': (3, 0.0), 'bounds': (2, (0.0, 0.0, 0.0)), 'hints': (1, (1, 'a')),
    'matrix3': (3, (0.0,) * 3), 'matrix4': (4, (0.0,) * 4),
}
STORAGE_LETTERS = {'float[]': 'f', 'double[]': 'd', 'int[]': 'i', 'unsigned[]': 'u',
                   'byte[]': 'b', 'id[]': 'p', 'data[]': 'b'}


class Pulling(object):
    """Empties the wrappers and resizes the storages it is given (which moves
    their memory) when it is converted, then converts as a plausible value of
    its shape: a number, or a sequence of `length` times `item`."""
    def __init__(self, shape, wrappers=(), storages=()):
        self.shape, self.wrappers, self.storages = shape, wrappers, storages

    def pull(self):
        for w in self.wrappers:
            w.set(None)
        for s in self.storages:
            s.setSize(1 << 16)

    def __int__(self):
        self.pull()
        return 0
    __long__ = __index__ = __int__

    def __float__(self):
        self.pull()
        return 0.0

    def __len__(self):
        return self.shape[0] if self.shape else 0

    def __getitem__(self, i):
        if not self.shape or i >= self.shape[0]:
            raise IndexError(i)
        self.pull()
        return self.shape[1]

    def __repr__(self):
        return 'Pulling(%r)' % (self.shape,)


def plausible_lists(params):
    """The plausible argument lists of a method, with the shape name of each
    parameter (matrices come in two sizes, which the docstring does not tell)."""
    matrices = ['matrix3', 'matrix4'] if 'matrix' in params else [None]
    for matrix in matrices:
        shapes = [matrix if p == 'matrix' else p for p in params]
        plain = [(MATRIX3 if matrix == 'matrix3' else MATRIX4) if p == 'matrix' else PLAUSIBLE[p]
                 for p in params]
        yield shapes, plain


def pull_methods(kind, tname, live):
    """Lets go of the receiver (a new object that only its wrapper holds), of
    an object argument (likewise) and of a storage argument's memory from
    every argument whose conversion runs Python code.  `live` is a receiver
    that reaches the conversions, or None."""
    for name, params in methods_of(kind, tname):
        where = '%s.%s.%s' % (kind, tname, name)
        if (kind, tname, name) in SKIPPED and RECORDED is None:
            continue
        mark(where + ' (letting go)')
        if params is None:
            if name == 'set':
                r = fresh(tname)
                if r is not None:
                    call(where + ' of its own object', r.set, (r,))
                    call(where + ' of its own object', r.test, ())
            continue
        for shapes, plain in plausible_lists(params):
            for i, shape in enumerate(shapes):
                if shape not in PULLING_SHAPES:
                    continue
                shape = PULLING_SHAPES[shape]
                r = fresh(tname) if kind == 'object' else None
                if r is not None:
                    a = list(plain)
                    a[i] = Pulling(shape, wrappers=[r])
                    call(where + ' letting go of the receiver', getattr(r, name), a)
                if live is None:
                    continue
                for j, p in enumerate(params):
                    a = list(plain)
                    if p == 'object':
                        a[j] = fresh('Unknown')
                        a[i] = Pulling(shape, wrappers=[a[j]])
                        what = ' letting go of an object argument'
                    elif p in STORAGE_LETTERS:
                        a[j] = qm.object.storage(STORAGE_LETTERS[p], 16)
                        a[i] = Pulling(shape, storages=[a[j]])
                        what = ' moving a storage argument'
                    else:
                        continue
                    call(where + what, getattr(live, name), a)


def documented():
    """(kind, type, method): parameter count of every generated method."""
    found = {}
    for line in open(DOCSTRINGS):
        where, units, doc = line.rstrip('\n').split('\t')
        kind, tname, name = where.split('.')
        found[kind, tname, name] = len(units)
    return found


types = OBJECT_TYPES if KIND == 'object' else SERVICE_TYPES
mine = types[SHARD::SHARDS]
method_count = 0
receiver_count = 0
swept = {}
for tname in mine:
    cls = getattr(getattr(qm, KIND), tname)

    class Sub(cls):
        pass
    receivers = [cls(), Sub()]
    if (KIND, tname) in (RECORDED or {}):
        receivers.append(RECORDED[KIND, tname])
    if KIND == 'object':
        receivers += FULL.get(tname, [])
        receivers += [Sub(w) for w in FULL.get(tname, [])[:1]]
    receiver_count += len(receivers)
    for name, params in methods_of(KIND, tname):
        swept[KIND, tname, name] = params
    method_count += sweep_methods(KIND, tname, receivers)
    live = [r for r in receivers if r.test()] if KIND == 'object' else receivers[-1:]
    pull_methods(KIND, tname, live[0] if live else None)
mark('done')
gc.collect()

# The package's methods are the generated ones, with as many parameters.
DOCUMENTED = documented()
for (kind, tname, name), units in sorted(DOCUMENTED.items()):
    if kind != KIND or tname not in mine:
        continue
    if (kind, tname, name) not in swept:
        failures.append('%s.%s.%s: documented, not swept' % (kind, tname, name))
    elif len(swept[kind, tname, name]) != units:
        failures.append('%s.%s.%s: %d parameters swept, %d documented' % (
            kind, tname, name, len(swept[kind, tname, name]), units))
for (kind, tname, name), params in sorted(swept.items()):
    if params is not None and (kind, tname, name) not in DOCUMENTED:
        failures.append('%s.%s.%s: swept, not documented' % (kind, tname, name))

summary = 'hostile sweep: %d calls, %d types, %d methods, %d receivers, %d host objects' % (
    calls[0], len(mine), method_count, receiver_count, len(POOL))
with open(os.path.join(FOLDER, 'report'), 'w') as report:
    report.write(summary + '\n')
    for f in failures[:60]:
        report.write(f + '\n')
if failures:
    raise AssertionError('%d failures, the first: %s' % (len(failures), failures[0]))
