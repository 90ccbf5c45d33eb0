// tessora.js as an ES module: import {Tessora, TessoraError} from './tessora.mjs'.
import './tessora.js';

const {Tessora, TessoraError} = globalThis;
export {Tessora, TessoraError};
export default Tessora;
