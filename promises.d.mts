// Declarations of `lc-tiles/promises` for ES modules: every member of the
// `promises` namespace of index.d.ts, by name (a test keeps the two lists
// equal), and the whole namespace as the default.
import { promises } from './index.js';

export default promises;
export import LcErrorCode = promises.LcErrorCode;
export import LcError = promises.LcError;
export import logs = promises.logs;
export import toNative = promises.toNative;
export import connect = promises.connect;
export import findRelays = promises.findRelays;
export import Com = promises.Com;
export import Topology = promises.Topology;
export import Changer = promises.Changer;
export import Luminosity = promises.Luminosity;
export import Reset = promises.Reset;
export import TransferOptions = promises.TransferOptions;
export import Loader = promises.Loader;
export import SdSender = promises.SdSender;
export import SimLoader = promises.SimLoader;
export import LcApp = promises.LcApp;
export import RelayFinder = promises.RelayFinder;
export import Player = promises.Player;
export import PlayItem = promises.PlayItem;
export import ShowRelay = promises.ShowRelay;
export import ShowOptions = promises.ShowOptions;
export import ShowCanvas = promises.ShowCanvas;
export import ShowCounters = promises.ShowCounters;
export import Show = promises.Show;
export import CustomApp = promises.CustomApp;
export import ComBridge = promises.ComBridge;
export import Address = promises.Address;
export import Signalled = promises.Signalled;
export import Native = promises.Native;
export import Without = promises.Without;
export import EmittingWithout = promises.EmittingWithout;
